// The main of every test program. Forms stay headless here whoever runs the
// tests: a test that shows a form checks the model, and on a person's
// desktop it must neither open windows nor wait for a click on a modal one.
// Tests of the real windows start the window backend themselves, on a
// display of their own (TestDisplay.h).
#include <gtest/gtest.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    setenv("ZORIRIVE_HEADLESS", "1", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
