// The package as the designer sees it: its registration, its resources, and
// components made by the designer that start nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <string>
#include <set>
#include <vector>

#include "core/LogBase.h"
#include "framework/Application.h"
#include "framework/Classes.h"
#include "framework/Graphics.h"
#include "framework/Resources.h"
#include "framework/SysUtils.h"
#include "package/LogReg.h"
#include "tools/zrdesign/FormDesign.h"
#include "watchers/LogFile.h"
#include "watchers/LogRegistry.h"

namespace zr {
namespace {

HINSTANCE Package() {
    return ModuleOfAddress(reinterpret_cast<const void*>(&Register));
}

std::string Shell(const std::string& command, int* status = nullptr) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    std::array<char, 4096> buffer;
    for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        output.append(buffer.data(), n);
    const int result = pclose(pipe);
    if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
}

// The palette as Register() lays it out: a new component changes no list here.
std::vector<const TClassInfo*> RegisteredPalette() {
    PaletteRegistry().Clear();
    Register();
    std::vector<const TClassInfo*> classes;
    for (const TPalettePage& page : PaletteRegistry().Pages())
        classes.insert(classes.end(), page.Classes.begin(), page.Classes.end());
    PaletteRegistry().Clear();
    return classes;
}

std::vector<std::string> PaletteNames() {
    std::vector<std::string> names;
    for (const TClassInfo* cls : RegisteredPalette()) names.push_back(cls->Name);
    return names;
}

TEST(Package, RegisterPlacesEveryComponentOnOnePageOnce) {
    PaletteRegistry().Clear();
    Register();
    EXPECT_EQ(PaletteRegistry().Registrations(), 1);
    ASSERT_EQ(PaletteRegistry().Pages().size(), 1u);
    EXPECT_EQ(PaletteRegistry().Pages()[0].Name, "ZORirive");
    PaletteRegistry().Clear();
    // Each entry a component the designer can make by name, none twice.
    std::set<std::string> seen;
    for (const TClassInfo* cls : RegisteredPalette()) {
        SCOPED_TRACE(cls->Name);
        EXPECT_TRUE(cls->InheritsFrom(TComponent::StaticClassInfo()));
        EXPECT_TRUE(cls->CreateComponent);
        EXPECT_EQ(GetClass(cls->Name), cls);
        EXPECT_TRUE(seen.insert(cls->Name).second);
    }
    EXPECT_GE(seen.size(), 8u);
}

// Each picture: its size, its colour count, and the background in the corners.
TEST(Package, EachComponentHasItsPaletteBitmap) {
    const TColor silver = 0xC0C0C0, olive = 0x008080;
    for (const TClassInfo* cls : RegisteredPalette()) {
        SCOPED_TRACE(cls->Name);
        TBitmap picture;
        picture.LoadFromResourceName(Package(), UpperCase(cls->Name));
        EXPECT_EQ(picture.Width(), 24);
        EXPECT_EQ(picture.Height(), 24);
        EXPECT_TRUE(picture.BitsPerPixel() == 4 || picture.BitsPerPixel() == 8);
        // Three corners of one background, silver or olive.
        const TColor corner = picture.Pixels(0, 0);
        EXPECT_TRUE(corner == silver || corner == olive) << std::hex << corner;
        EXPECT_EQ(picture.Pixels(23, 0), corner);
        EXPECT_EQ(picture.Pixels(0, 23), corner);
        // A log component carries the yellow warning diamond, lower right.
        if (cls->InheritsFrom(TKVLogBase::StaticClassInfo())) {
            EXPECT_EQ(picture.Pixels(18, 22), TColor{0x00FFFF});
        }
    }
    TBitmap failed;
    failed.LoadFromResourceName(Package(), "KVL_FAILED");
    EXPECT_EQ(failed.Width(), 16);
    EXPECT_EQ(failed.BitsPerPixel(), 8);
}

TEST(Package, DescriptionVersionAndIcon) {
    const auto description = FindResource(Package(), "DESCRIPTION");
    ASSERT_EQ(description.size() % 2, 0u);
    std::string text;
    for (size_t i = 0; i + 1 < description.size(); i += 2) {
        EXPECT_EQ(description[i + 1], 0) << "plain text stays in the first 256 code points";
        text += static_cast<char>(description[i]);
    }
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\0');
    EXPECT_EQ(text.rfind("ZORirive: log component suite.", 0), 0u) << text;

    const auto version = FindResource(Package(), "VERSION");
    EXPECT_EQ(std::string(version.begin(), version.end()), "1.5.0.0");
    const std::string library = ModuleFileName(Package());
    EXPECT_NE(library.find("libVEDevE2006.so.0"), std::string::npos) << library;

    // One 32 x 32 image of 16 colours.
    const auto icon = FindResource(Package(), "MAINICON");
    ASSERT_GE(icon.size(), 22u);
    EXPECT_EQ(icon[4] | icon[5] << 8, 1);  // images
    EXPECT_EQ(icon[6], 32);
    EXPECT_EQ(icon[7], 32);
    EXPECT_EQ(icon[8], 16);
}

// What the designer makes carries csDesigning: the exception log installs no
// handler, the application event log hooks nothing.
TEST(Package, ComponentsMadeInTheDesignerStartNothing) {
    const TExceptionEvent handlerBefore = Application->OnException();
    const TIdleEvent idleBefore = Application->OnIdle();
    design::TDesignSession session;
    TComponent& form = session.OpenForm("never-saved.dfm");
    TComponent* log = design::PlaceComponent(form, "TKVExceptionLog");
    TComponent* appLog = design::PlaceComponent(form, "TKVAppLog");
    design::SetProperty(*appLog, "Active", "True");
    EXPECT_TRUE(log->IsDesigning());
    EXPECT_EQ(log->Name(), "KVExceptionLog1");
    EXPECT_TRUE(Application->OnException() == handlerBefore);
    EXPECT_TRUE(Application->OnIdle() == idleBefore);
}

// A form whose watchers name a folder or key that is gone can still be
// opened and mended: read for the designer, they start nothing.
TEST(Package, AFormOpenedByTheDesignerStartsNoWatcher) {
    const std::string form = ::testing::TempDir() + "/watchers-of-nothing.dfm";
    std::FILE* out = std::fopen(form.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fputs(
        "object Form1: TForm\n"
        "  object FileLog: TKVFileLog\n"
        "    Active = True\n"
        "    Folder = '/nonexistent/zr-gone'\n"
        "  end\n"
        "  object RegistryLog: TKVRegistryLog\n"
        "    Active = True\n"
        "    Key = 'Software\\Gone'\n"
        "  end\n"
        "end\n",
        out);
    std::fclose(out);
    design::TDesignSession session;
    TComponent* opened = nullptr;
    ASSERT_NO_THROW(opened = &session.OpenForm(form));
    auto* fileLog = dynamic_cast<TKVFileLog*>(opened->FindComponent("FileLog"));
    auto* registryLog = dynamic_cast<TKVRegistryLog*>(opened->FindComponent("RegistryLog"));
    ASSERT_NE(fileLog, nullptr);
    ASSERT_NE(registryLog, nullptr);
    EXPECT_TRUE(fileLog->Active()) << "kept for the form file";
    EXPECT_EQ(fileLog->NotificationThread(), nullptr);
    EXPECT_EQ(registryLog->NotificationThread(), nullptr);
    std::remove(form.c_str());
}

TEST(Designer, PalettePngAndFormFilesFromTheCommandLine) {
    int status = -1;
    const std::string zrdesign = std::string("'") + ZR_ZRDESIGN + "'";
    std::string expected = "ZORirive\n";
    const std::vector<std::string> palette = PaletteNames();
    for (const std::string& name : palette) expected += name + "\n";
    const std::string folder = ::testing::TempDir();
    const std::string png = folder + "/palette.png";
    EXPECT_EQ(Shell(zrdesign + " palette --png '" + png + "'", &status), expected);
    EXPECT_EQ(status, 0);
    // The PNG header's width and height: a 48-pixel picture per component,
    // 4-pixel gaps around and between them.
    const std::string header = Shell("head -c 24 '" + png + "' | od -An -tx1 | tr -d ' \\n'");
    EXPECT_EQ(header.substr(0, 16), "89504e470d0a1a0a");
    char size[17];
    std::snprintf(size, sizeof size, "%08x%08x", 4 + 52 * static_cast<unsigned>(palette.size()),
                  56u);
    EXPECT_EQ(header.substr(32, 16), size);

    const std::string form = folder + "/designed.dfm";
    std::remove(form.c_str());
    Shell(zrdesign + " new '" + form + "' TKVFileLog TKVExceptionLog:ErrorLog", &status);
    EXPECT_EQ(status, 0);
    Shell(zrdesign + " set '" + form + "' ErrorLog LogFile errors.log", &status);
    EXPECT_EQ(status, 0);
    const std::string props = Shell(zrdesign + " props '" + form + "' ErrorLog");
    EXPECT_NE(props.find("LogFile = 'errors.log'  (default 'kvevents.log')"), std::string::npos)
        << props;
    const std::string text = Shell("cat '" + form + "'");
    EXPECT_NE(text.find("object KVFileLog1: TKVFileLog"), std::string::npos) << text;
    EXPECT_NE(text.find("LogFile = 'errors.log'"), std::string::npos) << text;
    EXPECT_EQ(text.find("ErrorDialog"), std::string::npos) << "defaults are not stored:\n" << text;
}

TEST(Designer, AFailedSaveLeavesTheOldForm) {
    int status = -1;
    const std::string zrdesign = std::string("'") + ZR_ZRDESIGN + "'";
    const std::string folder = ::testing::TempDir() + "/failed-save";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string form = folder + "/kept.dfm";
    Shell(zrdesign + " new '" + form + "' TKVFileLog", &status);
    ASSERT_EQ(status, 0);
    const std::string before = Shell("cat '" + form + "'");
    // Enough components that the form outgrows a one-block file-size limit.
    std::string many;
    for (int i = 0; i < 40; ++i) many += " TKVFileLog";
    Shell("trap '' XFSZ; ulimit -f 1; " + zrdesign + " add '" + form + "'" + many, &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(Shell("cat '" + form + "'"), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);  // nothing left beside it
    std::filesystem::remove_all(folder);
}

TEST(Designer, LoadingWhatIsNoPackageOfThisRunTimeSaysWhy) {
    int status = -1;
    const std::string zrdesign = std::string("'") + ZR_ZRDESIGN + "'";
    std::string output =
        Shell(zrdesign + " --package '" + ZR_RUNTIME_LIBRARY + "' palette", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find(ZR_RUNTIME_LIBRARY), std::string::npos) << output;
    EXPECT_NE(output.find("exports no Register"), std::string::npos) << output;

    output = Shell(zrdesign + " --package '" + ZR_FOREIGN_PACKAGE + "' palette", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("was built against run-time interface 999"), std::string::npos) << output;

    output = Shell(zrdesign + " --package /nonexistent/libnothing.so palette", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("/nonexistent/libnothing.so: cannot be loaded"), std::string::npos)
        << output;
}

}  // namespace
}  // namespace zr
