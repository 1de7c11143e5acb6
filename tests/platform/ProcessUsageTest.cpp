// The process's own usage moves with what it does: touched memory shows as
// resident, work done shows as processor time.
#include "platform/ProcessUsage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>

namespace {

TEST(ProcessUsage, FollowsTouchedMemoryAndProcessorTime) {
    const auto before = zr::os::CurrentProcessUsage();
    EXPECT_GT(before.ResidentBytes, 0u);
    EXPECT_GE(before.VirtualBytes, before.ResidentBytes);

    constexpr size_t kSize = 64u << 20;
    auto block = std::make_unique<char[]>(kSize);
    std::memset(block.get(), 1, kSize);
    volatile unsigned sum = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(60);
    while (std::chrono::steady_clock::now() < until)
        for (size_t i = 0; i < kSize; i += 4096) sum = sum + static_cast<unsigned>(block[i]);

    const auto after = zr::os::CurrentProcessUsage();
    EXPECT_GE(after.ResidentBytes, before.ResidentBytes + kSize / 2);
    EXPECT_GE(after.CpuMilliseconds, before.CpuMilliseconds + 30);
}

}  // namespace
