#include "framework/Exceptions.h"
#include "tests/exception_programs/InlineStackParts.h"

namespace chain {

namespace {
volatile int counted = 0;
void Count(int n) {
    if (n > counted) throw zr::EConvertError("other unit");
}
}  // namespace

void OtherUnitThrow(int n) {
    Count(n);
    counted = counted + 1;
}

}  // namespace chain
