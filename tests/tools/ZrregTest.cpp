#include <gtest/gtest.h>

#include "tests/platform/RegistryTestSupport.h"

using zr::testing::Zrreg;

namespace {
using ZrregTool = zr::testing::ScratchRegistry;
}

TEST_F(ZrregTool, ChangesAndShowsTheStoreWithPlainExitCodes) {
    auto help = Zrreg({"--help"});
    EXPECT_EQ(help.Status, 0);
    for (const char* word : {"add KEY", "set KEY NAME", "query KEY", "delete KEY", "HKLM", "HKCU"})
        EXPECT_NE(help.Output.find(word), std::string::npos) << word;

    EXPECT_EQ(Zrreg({"add", "HKCU\\Software\\Tool\\Sub"}).Status, 0);
    EXPECT_EQ(Zrreg({"set", "HKEY_CURRENT_USER\\Software\\Tool", "Name", "sz", "a\tb"}).Status, 0);
    EXPECT_EQ(Zrreg({"set", "hkcu\\software\\tool", "Count", "dword", "0x2A"}).Status, 0);
    EXPECT_EQ(Zrreg({"set", "HKCU\\Software\\Tool", "Blob", "binary", "01 ab,FF"}).Status, 0);
    EXPECT_EQ(Zrreg({"set", "HKCU\\Software\\Tool", "List", "multi_sz", "one", "two"}).Status, 0);
    EXPECT_EQ(Zrreg({"query", "HKCU\\Software\\Tool"}).Output,
              "Sub\\\n"
              "Name\tsz\ta\\x09b\n"
              "Count\tdword\t42\n"
              "Blob\tbinary\t01 ab ff\n"
              "List\tmulti_sz\tone\ttwo\n");
    EXPECT_EQ(Zrreg({"query", "HKCU\\Software\\Tool", "count"}).Output, "count\tdword\t42\n");

    // Refusals by the store exit with 1 and say why; a bad command line with 2.
    auto missing = Zrreg({"query", "HKCU\\Software\\Tool", "Missing"});
    EXPECT_EQ(missing.Status, 1);
    EXPECT_NE(missing.Output.find("cannot find"), std::string::npos) << missing.Output;
    EXPECT_EQ(Zrreg({"add", "HKCU\\..\\Escape"}).Status, 1);
    EXPECT_EQ(Zrreg({"set", "HKCU\\Software\\Tool", "N", "dword", "4294967296"}).Status, 2);
    EXPECT_EQ(Zrreg({"set", "HKCU\\Software\\Tool", "N", "qword", "1"}).Status, 2);
    EXPECT_EQ(Zrreg({"query", "HKXX\\Software"}).Status, 2);
    EXPECT_EQ(Zrreg({"delete", "HKCU"}).Status, 2);
    EXPECT_EQ(Zrreg({}).Status, 2);

    // delete takes a value, or the key with everything below it.
    EXPECT_EQ(Zrreg({"delete", "HKCU\\Software\\Tool", "Blob"}).Status, 0);
    EXPECT_EQ(Zrreg({"query", "HKCU\\Software\\Tool", "Blob"}).Status, 1);
    EXPECT_EQ(Zrreg({"delete", "HKCU\\Software\\Tool"}).Status, 0);
    EXPECT_EQ(Zrreg({"query", "HKCU\\Software\\Tool"}).Status, 1);
    EXPECT_EQ(Zrreg({"query", "HKCU\\Software"}).Output, "");
}
