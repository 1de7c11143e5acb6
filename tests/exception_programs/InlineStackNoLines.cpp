#include "tests/exception_programs/InlineStackParts.h"

namespace chain {

volatile int relayed = 0;

void NoLinesRelay(void (*callback)(int), int n) {
    callback(n + 1);
    relayed = relayed + 1;  // not a tail call
}

}  // namespace chain
