// The throw records: every throw of the process notes, per thread, the
// object thrown, where it was thrown from and, while call stacks are asked
// for, the stack at the throw. The exception wrappers look them up.
#pragma once

#include <typeinfo>

#include "ExceptAddr.h"

namespace zr {

// Where the newest throw of `object` (of `type`) on this thread came from,
// in reported form; null when none is recorded.
void* RecordedThrowAddress(const void* object, const std::type_info& type);
// Its stack from `raiseAddress` outwards; Count 0 when none was taken.
TCallStack RecordedCallStack(const void* object, const std::type_info& type, void* raiseAddress);

}  // namespace zr
