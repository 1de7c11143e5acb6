#include "framework/Exceptions.h"
#include "tests/exception_programs/InlineStackParts.h"

namespace chain {

namespace {
volatile int checked = 0;
void Check(int n) {
    if (n > checked) throw zr::EConvertError("library");
}
}  // namespace

void LibraryThrow(int n) {
    Check(n);
    checked = checked + 1;
}

}  // namespace chain
