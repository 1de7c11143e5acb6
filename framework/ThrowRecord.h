// Between the throw hook and the exception wrapper: the hook notes who threw
// each object, the wrapper looks it up. Kept apart from <exception> so that
// the hook's file can declare the C++ run-time's throw entry itself.
#pragma once

namespace zr {

// Notes that `object` (of the type whose std::type_info is `typeInfo`) is
// being thrown by the call that returns to `returnAddress`. Returns the
// destroy function to hand the run-time in place of `destroy`: it frees the
// note when the object dies, then calls `destroy`.
void (*RecordThrow(void* object, const void* typeInfo, void* returnAddress,
                   void (*destroy)(void*)))(void*);

}  // namespace zr
