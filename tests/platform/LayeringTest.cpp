// The platform layer stands on the operating system alone: nothing in it
// includes a header of the layers built on top of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(PlatformLayer, IncludesNothingFromTheLayersAboveIt) {
    const std::filesystem::path folder = std::filesystem::path(ZR_SOURCE_DIR) / "platform";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string extension = entry.path().extension().string();
        if (extension != ".h" && extension != ".cpp") continue;
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("#include \"", 0) != 0) continue;
            if (line.rfind("#include \"platform/", 0) == 0) continue;
            // A header names its neighbours relative to itself (no folder).
            const bool sameFolder = line.find('/') == std::string::npos;
            if (extension == ".h" && sameFolder) continue;
            ADD_FAILURE() << entry.path().filename().string() << ": " << line;
        }
    }
    EXPECT_GT(files, 10);
}

}  // namespace
