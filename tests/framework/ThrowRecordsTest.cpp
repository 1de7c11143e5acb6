// The records the throw hook keeps of every thrown object: the stacks taken
// at throws (a remembered walk must give what the unwinder gives), and the
// table's places coming back when the objects die.
#include <gtest/gtest.h>

#include <alloca.h>

#include <functional>
#include <stdexcept>
#include <typeinfo>
#include <vector>

#include "framework/ExceptAddr.h"
#include "framework/ThrowRecords.h"

namespace zr {
namespace {

volatile int sink = 0;

struct TWalked {
    int Count = 0;
    void* Frames[kMaxCallFrames];
};
TWalked reference;

// Takes the unwinder's own walk, then throws from the next line.
[[gnu::noinline]] void WalkThenThrow() {
    reference.Count = WalkStack(reference.Frames, kMaxCallFrames);
    throw std::runtime_error("walked");
}

[[gnu::noinline]] void ThroughA() {
    WalkThenThrow();
    sink = sink + 1;
}

[[gnu::noinline]] void ThroughB() {
    WalkThenThrow();
    sink = sink + 2;
}

// The same call path, its frames moved down the stack by `room` bytes.
[[gnu::noinline]] void ThroughAMoved(int room) {
    auto* bytes = static_cast<volatile char*>(alloca(static_cast<size_t>(room)));
    bytes[0] = 1;
    ThroughA();
    sink = sink + bytes[0];
}

// Runs `path` and gives the stack recorded for its exception, from the
// frame of WalkThenThrow's caller outwards.
template <class Path>
std::vector<void*> RecordedOuterFrames(Path path) {
    try {
        path();
    } catch (const std::exception& e) {
        const void* object = dynamic_cast<const void*>(&e);
        const TCallStack stack =
            RecordedCallStack(object, typeid(e), RecordedThrowAddress(object, typeid(e)));
        return {stack.Frames + (stack.Count > 0 ? 1 : 0), stack.Frames + stack.Count};
    }
    return {};
}

// Throws from the same place through other callers, at other depths, and
// again as before: each stack is the unwinder's, never the one remembered
// from the throw before.
TEST(ThrowRecords, EveryThrowsStackIsTheOneTheUnwinderWalks) {
    RequestCallStacks();
    const std::vector<std::function<void()>> paths = {ThroughA,
                                                      ThroughB,
                                                      ThroughA,
                                                      [] { ThroughAMoved(64); },
                                                      [] { ThroughAMoved(128); },
                                                      ThroughA,
                                                      [] { ThroughAMoved(128); },
                                                      ThroughB,
                                                      ThroughB};
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(i);
        const std::vector<void*> recorded = RecordedOuterFrames(paths[i]);
        ASSERT_GT(reference.Count, 3);
        // The walk's own first frames: WalkStack, then WalkThenThrow.
        const std::vector<void*> walked(reference.Frames + 2, reference.Frames + reference.Count);
        EXPECT_EQ(recorded, walked);
    }
    ReleaseCallStacks();
}

// Exceptions kept alive hold their places; once they die, the places serve
// later throws again.
TEST(ThrowRecords, PlacesOfDeadExceptionsServeLaterThrows) {
    std::vector<std::exception_ptr> held;
    for (int i = 0; i < 2000; ++i) {
        try {
            throw std::runtime_error("held");
        } catch (...) {
            held.push_back(std::current_exception());
        }
    }
    held.clear();
    for (int i = 0; i < 3; ++i) {
        try {
            throw std::logic_error("after");
        } catch (const std::exception& e) {
            EXPECT_NE(RecordedThrowAddress(dynamic_cast<const void*>(&e), typeid(e)), nullptr);
        }
    }
}

}  // namespace
}  // namespace zr
