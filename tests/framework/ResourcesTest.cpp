// Module resources: each library's resources are found by its own instance
// handle and by no other module's, names ignore case, and a missing name
// raises EResNotFound with the host's message.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framework/Exceptions.h"
#include "framework/Graphics.h"
#include "framework/Resources.h"

namespace zr {
namespace {

HINSTANCE RuntimeInstance() {
    return ModuleOfAddress(reinterpret_cast<const void*>(&FindResource));
}

TEST(ModuleResources, EachLibraryFindsItsOwnCompiledInResources) {
    const HINSTANCE runtime = RuntimeInstance();
    ASSERT_NE(runtime, nullptr);
    EXPECT_NE(runtime, HInstance());
    EXPECT_EQ(HInstance(), MainInstance());  // the test program is the executable
    EXPECT_NE(ModuleFileName(runtime).find("libzoririve"), std::string::npos);
    EXPECT_NE(ModuleFileName(MainInstance()).find("test_framework"), std::string::npos);

    // The run-time library carries the stock icons as .ico files.
    const std::span<const std::uint8_t> hand = FindResource(runtime, "idi_hand");
    ASSERT_GT(hand.size(), 6u);
    EXPECT_EQ(hand[2], 1);  // an icon directory
    EXPECT_NE(LoadIcon(runtime, "IDI_HAND"), nullptr);

    // The executable has no such resource: the lookup does not wander into
    // other modules.
    try {
        FindResource(HInstance(), "IDI_HAND");
        ADD_FAILURE() << "found in the wrong module";
    } catch (const EResNotFound& e) {
        EXPECT_EQ(e.Message(), "Resource IDI_HAND not found");
    }
    EXPECT_THROW(FindResource(nullptr, "IDI_HAND"), EResNotFound);
    EXPECT_EQ(LoadIcon(HInstance(), "IDI_HAND"), nullptr);
}

TEST(ModuleResources, SameNameInTwoModulesStaysApart) {
    static const std::uint8_t first[] = {1, 2, 3};
    static const std::uint8_t second[] = {9};
    static int moduleA = 0, moduleB = 0, moduleC = 0;
    RegisterResource(&moduleA, "Description", first, sizeof first);
    RegisterResource(&moduleB, "DESCRIPTION", second, sizeof second);
    RegisterResource(&moduleB, "empty", second, 0);

    EXPECT_EQ(FindResource(&moduleA, "description").size(), 3u);
    EXPECT_EQ(FindResource(&moduleB, "Description")[0], 9);
    EXPECT_TRUE(ResourceExists(&moduleB, "EMPTY"));  // empty, yet present
    EXPECT_NO_THROW(FindResource(&moduleB, "Empty"));
    EXPECT_EQ(ResourceNames(&moduleB), (std::vector<std::string>{"DESCRIPTION", "EMPTY"}));
    EXPECT_THROW(FindResource(&moduleC, "DESCRIPTION"), EResNotFound);
    EXPECT_TRUE(FindResourceOrEmpty(&moduleC, "DESCRIPTION").empty());

    UnregisterModuleResources(&moduleA);  // as when a package is unloaded
    EXPECT_THROW(FindResource(&moduleA, "DESCRIPTION"), EResNotFound);
    EXPECT_EQ(FindResource(&moduleB, "DESCRIPTION").size(), 1u);
    UnregisterModuleResources(&moduleB);
}

TEST(ModuleResources, AddressesOutsideAnyModuleHaveNoInstance) {
    int onStack = 0;
    EXPECT_EQ(ModuleOfAddress(&onStack), nullptr);
    EXPECT_EQ(ModuleOfAddress(nullptr), nullptr);
    EXPECT_EQ(ModuleFileName(nullptr), "");
}

}  // namespace
}  // namespace zr
