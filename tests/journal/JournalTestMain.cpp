// The main of the journal tests: the program moves into a mount namespace of
// its own first, while it has one thread, so that every journal it and its
// child processes write to or read is the private one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/support/PrivateJournal.h"

int main(int argc, char** argv) {
    zr::testing::EnterPrivateJournalNamespace();
    setenv("ZORIRIVE_HEADLESS", "1", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
