#include "framework/Registry.h"

#include <gtest/gtest.h>

#include "tests/platform/RegistryTestSupport.h"

using namespace zr;

namespace {
using Registry = zr::testing::ScratchRegistry;
}

TEST_F(Registry, OpenKeyFollowsTheCurrentKeyOrTheRoot) {
    TRegistry registry;
    registry.SetRootKey(os::HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(registry.OpenKey("Software\\Example", false)) << "not made without canCreate";
    EXPECT_FALSE(registry.KeyExists("Software\\Example"));

    ASSERT_TRUE(registry.OpenKey("Software\\Example", true));
    EXPECT_EQ(registry.CurrentPath(), "Software\\Example");
    ASSERT_TRUE(registry.OpenKey("Sub", true)) << "relative to the current key";
    EXPECT_EQ(registry.CurrentPath(), "Software\\Example\\Sub");
    EXPECT_TRUE(registry.KeyExists("\\software\\EXAMPLE\\sub"));

    // A key that cannot be opened leaves the current one as it was.
    os::HKEY current = registry.CurrentKey();
    EXPECT_FALSE(registry.OpenKey("Missing", false));
    EXPECT_FALSE(registry.OpenKey(std::string("\\Software\0..\\Example", 20), false))
        << "a name with a zero byte in it";
    EXPECT_EQ(registry.CurrentKey(), current);
    ASSERT_TRUE(registry.OpenKey("\\Software", false)) << "from the root";
    EXPECT_EQ(registry.CurrentPath(), "Software");

    registry.SetRootKey(os::HKEY_CURRENT_USER);
    EXPECT_EQ(registry.CurrentKey(), 0u) << "a new root closes the key";
    EXPECT_FALSE(registry.KeyExists("Software\\Example"));
}

TEST_F(Registry, StringsAreWrittenAndReadAsTheHostDoes) {
    TRegistry writer;
    ASSERT_TRUE(writer.OpenKey("Software\\Strings", true));
    writer.WriteString("Path", "C:\\Program Files\\x");
    EXPECT_TRUE(writer.ValueExists("PATH"));
    EXPECT_FALSE(writer.ValueExists("Other"));

    TRegistry reader(os::KEY_READ);
    ASSERT_TRUE(reader.OpenKey("Software\\Strings", false));
    EXPECT_EQ(reader.ReadString("path"), "C:\\Program Files\\x");
    EXPECT_EQ(reader.ReadString("Missing"), "");
    EXPECT_THROW(reader.WriteString("Path", "y"), ERegistryException);
    try {
        reader.WriteString("Path", "y");
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Failed to set data for 'Path'");
    }

    const os::BYTE number[4] = {1, 0, 0, 0};
    os::RegSetValueEx(writer.CurrentKey(), "Count", 0, os::REG_DWORD, number, 4);
    const char expand[] = "%HOME%\\bin";
    os::RegSetValueEx(writer.CurrentKey(), "Expand", 0, os::REG_EXPAND_SZ,
                      reinterpret_cast<const os::BYTE*>(expand), sizeof expand);
    EXPECT_EQ(reader.ReadString("Expand"), "%HOME%\\bin") << "not expanded";
    try {
        reader.ReadString("Count");
        ADD_FAILURE() << "a dword read as a string";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for 'Count'");
    }
}
