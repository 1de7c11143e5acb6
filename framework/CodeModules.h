// Which module a code address lies in, so that the frames of the suite's
// own libraries and of the language run-times can be told from the
// application's. Shared by the raise addresses and the throw records.
#pragma once

namespace zr {

// The module file holding `address` ("" for the executable), or null when
// no module holds it.
const char* ModuleFileOf(const void* address);
const char* BaseName(const char* path);

// The suite's own libraries: a frame in them is the framework at work, not
// the code that asked for the exception.
bool IsSuiteModule(const char* name);
// Language and tool run-times that stand between a throw and its thrower.
bool IsRuntimeModule(const char* name);
bool IsSuiteOrRuntimeModule(const char* name);

// A return address, moved back into the call instruction before it: a call
// that never returns (a throw) may be the last instruction of its function,
// and its return address would then name the next function.
void* CallSite(void* returnAddress);

// The call site of the first frame on the stack whose module `skip` does
// not reject; null when there is none.
void* FirstFrameOutside(bool (*skip)(const char* module));

}  // namespace zr
