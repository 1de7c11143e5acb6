#include "exception/ReportSections.h"

#include <gtest/gtest.h>

#include "platform/SystemInfo.h"

namespace zr::report {
namespace {

const std::string Sep = "\r\n======\r\n";

// A machine staged for the report: names, memory and displays as a test says.
class StagedMachine : public os::SystemProbe {
  public:
    std::string computer = "HOST";
    std::string user = "anna";
    Memory memory;
    int family = 6;
    std::vector<std::string> displays;

    std::string ComputerName() override { return computer; }
    std::string UserName() override { return user; }
    Memory MemoryStatus() override { return memory; }
    int ProcessorFamily() override { return family; }
    std::vector<std::string> DisplayDevices() override { return displays; }
};

class StagedMachineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine = std::make_shared<StagedMachine>();
        previous = os::SetSystemProbe(machine);
    }
    void TearDown() override { os::SetSystemProbe(previous); }
    std::shared_ptr<StagedMachine> machine;
    std::shared_ptr<os::SystemProbe> previous;
};

TEST(ReportSourceSection, EmptyUntilLoadedThenOneLinePerFoundItem) {
    EXPECT_EQ(SourceSection(false, "Main", "Run", 12), "");
    EXPECT_EQ(SourceSection(true, "", "", 0), "\r\n");
    EXPECT_EQ(SourceSection(true, "Main", "Run", 12),
              "\r\nUnit: Main\r\nProcedure: Run\r\nLine No: 12");
    // Without a line number the section ends with the procedure's line break.
    EXPECT_EQ(SourceSection(true, "Main", "Run", 0), "\r\nUnit: Main\r\nProcedure: Run\r\n");
}

TEST(ReportApplicationSection, TitleWithoutBlankAndOneParameterPerLine) {
    EXPECT_EQ(ApplicationSection("/usr/bin/app", "App", {}),
              Sep + "EXE file name: /usr/bin/app\r\nApplication Title:App");
    EXPECT_EQ(ApplicationSection("/a", "T", {"-x", "two words"}),
              Sep + "EXE file name: /a\r\nApplication Title:T\r\nParameters: \r\n-x\r\ntwo words");
}

TEST(ReportActiveControlSection, FormControlBothOrNeither) {
    EXPECT_EQ(ActiveControlSection({}), "");
    EXPECT_EQ(ActiveControlSection({true, "frmMain", "Main window", false, ""}),
              Sep + "Active Form: frmMain, Main window");
    EXPECT_EQ(ActiveControlSection({false, "", "", true, "edName"}),
              Sep + "Active Control: edName");
    EXPECT_EQ(ActiveControlSection({true, "frmMain", "Main", true, "edName"}),
              Sep + "Active Form: frmMain, Main\r\nActive Control: edName");
}

TEST_F(StagedMachineTest, ComputerSectionLeavesOutWhatCannotBeHad) {
    EXPECT_EQ(ComputerSection(), Sep + "Computer: HOST\r\nUser Name: anna");
    machine->user = "";
    EXPECT_EQ(ComputerSection(), Sep + "Computer: HOST\r\n");
    machine->computer = "";
    machine->user = "anna";
    EXPECT_EQ(ComputerSection(), Sep + "User Name: anna");
    machine->user = "";
    EXPECT_EQ(ComputerSection(), "");
}

TEST(ReportOSSection, EveryRowOfTheWindowsTable) {
    struct Row {
        int platform, major, minor, build;
        const char* csd;
        std::string expected;
    };
    const Row rows[] = {
        {1, 4, 0, 0x04000457, " B ", "Microsoft Windows 95 OSR 2(build 1111)"},
        {1, 4, 0, 950, "C", "Microsoft Windows 95(build 950)"},
        {1, 4, 10, 2222, "A", "Microsoft Windows 98 SE(build 2222)"},
        {1, 4, 10, 1998, "a", "Microsoft Windows 98(build 1998)"},
        {1, 4, 90, 0x045A0BB8, "", "Microsoft Winsows ME(build 3000)"},
        {1, 4, 91, 7, "", "(build 7)"},
        {2, 4, 0, 1381, "", "Microsoft Windows NT 4.0(build 1381)"},
        {2, 5, 0, 2195, "", "Microsoft Windows 2000(build 2195)"},
        {2, 5, 1, 2600, "Service Pack 2", "Microsoft Windows XP(build 2600)"},
        {2, 5, 2, 3790, "", "Microsoft Windows 2003(build 3790)"},
        {2, 6, 0, 6000, "", "(build 6000)"},
    };
    for (const auto& r : rows) {
        OSVersionInfo v{r.platform, r.major, r.minor, r.build, r.csd, "", ""};
        EXPECT_EQ(OSSection(v), Sep + r.expected) << r.expected;
    }
    EXPECT_EQ(OSSection({0, 3, 1, 0, "", "", ""}), "");
}

TEST(ReportOSSection, LinuxNamesDistributionAndKernel) {
    OSVersionInfo v{100, 6, 1, 0, "", "Debian GNU/Linux 12 (bookworm)", "6.1.0-27-amd64"};
    EXPECT_EQ(OSSection(v), Sep + "Debian GNU/Linux 12 (bookworm)(build 6.1.0-27-amd64)");
    EXPECT_FALSE(OSSection(RunningOSVersion()).empty());
}

TEST_F(StagedMachineTest, CPUSectionNamesTheProcessorLevel) {
    const std::pair<int, const char*> levels[] = {
        {3, "80386"}, {4, "80486"}, {5, "Pentium"}, {6, "Pentium Pro"}, {15, "15"}};
    for (auto [family, name] : levels) {
        machine->family = family;
        EXPECT_EQ(CPUSection(false), Sep + name);
    }
}

TEST_F(StagedMachineTest, CPUSectionWithMeasurementAddsTheRate) {
    machine->family = 6;
    const std::string text = CPUSection(true);
    ASSERT_EQ(text.rfind(Sep + "Pentium Pro" + Sep, 0), 0u) << text;
    EXPECT_GT(text.size(), (Sep + "Pentium Pro" + Sep).size());
}

// Sizes above 4 GB are printed as they are, not capped at 4194303 Kb.
TEST_F(StagedMachineTest, MemorySectionPrintsSizesAbove4GBAsTheyAre) {
    machine->memory.totalPhys = 64ull << 30;
    machine->memory.availPhys = 16ull << 30;
    machine->memory.totalSwap = 0;
    machine->memory.freeSwap = 0;
    machine->memory.totalVirtual = 0xFFFFFFFFull;
    machine->memory.usedVirtual = 1 << 20;
    EXPECT_EQ(MemorySection(), Sep +
                                   "Total pagefile: 67108864 Kb\r\n"
                                   "Available pagefile: 16777216 Kb\r\n"
                                   "Total virtual memory: 4194303 Kb\r\n"
                                   "Available virtual memory: 4193279 Kb\r\n"
                                   "Total memory: 67108864 Kb\r\n"
                                   "Available memory: 16777216 Kb\r\n"
                                   "Memory in use: 75%");
}

TEST_F(StagedMachineTest, VideoSectionKeepsOnlyTheLastDevice) {
    EXPECT_EQ(VideoSection(), "");
    machine->displays = {"HDMI-1", "DP-2", "a-name-longer-than-thirty-one-characters"};
    EXPECT_EQ(VideoSection(), Sep + "a-name-longer-than-thirty-one-c");
}

}  // namespace
}  // namespace zr::report
