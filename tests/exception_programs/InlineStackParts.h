// The parts of the inline stack program that live elsewhere: another
// translation unit, a shared library, and code without line information.
#pragma once

namespace chain {

void OtherUnitThrow(int n);
void LibraryThrow(int n);
// Calls `callback(n + 1)`; compiled without line information.
void NoLinesRelay(void (*callback)(int), int n);

}  // namespace chain
