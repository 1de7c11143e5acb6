// The throw records: every throw of the process notes the object thrown,
// where it was thrown from and, while call stacks are asked for, the stack
// at the throw, for as long as the object lives. The exception wrappers look
// them up, on whichever thread the exception is handled.
#pragma once

#include <typeinfo>

#include "ExceptAddr.h"

namespace zr {

// Where the throw of `object` (of `type`, alive) came from, in reported
// form; null when none is recorded.
void* RecordedThrowAddress(const void* object, const std::type_info& type);
// Its stack from `raiseAddress` outwards; Count 0 when none was taken.
TCallStack RecordedCallStack(const void* object, const std::type_info& type, void* raiseAddress);

}  // namespace zr
