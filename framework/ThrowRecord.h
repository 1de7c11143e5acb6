// Between the throw hook and the exception wrapper: the hook notes who threw
// each object, the wrapper looks it up. Kept apart from <exception> so that
// the hook's file can declare the C++ run-time's throw entry itself.
#pragma once

namespace zr {

// Notes that `object` (of the type whose std::type_info is `typeInfo`) is
// being thrown by the call that returns to `returnAddress`.
void RecordThrow(void* object, const void* typeInfo, void* returnAddress);

}  // namespace zr
