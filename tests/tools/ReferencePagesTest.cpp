// The reference pages' check: a table that no longer matches the type
// information is caught, and hand-written text is never overwritten.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "framework/Exceptions.h"
#include "tools/zrdoc/ReferencePages.h"

extern "C" void Register();

namespace zr {
namespace {

std::string Read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Write(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

class ReferencePagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Register();
        std::string pattern = ::testing::TempDir() + "zrdoc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        docs_ = pattern;
        std::filesystem::create_directory(docs_ + "/components");
    }
    void TearDown() override { std::filesystem::remove_all(docs_); }
    std::string docs_;
};

TEST_F(ReferencePagesTest, APageMissingAPublishedPropertyIsReportedOutOfDate) {
    doc::UpdatePages(docs_);
    ASSERT_TRUE(doc::CheckPages(docs_).empty());
    const std::string page = docs_ + "/components/TKVLogBase.md";
    std::string text = Read(page);
    const size_t row = text.find("| LogFile |");
    ASSERT_NE(row, std::string::npos);
    text.erase(row, text.find('\n', row) + 1 - row);
    Write(page, text);

    const auto problems = doc::CheckPages(docs_);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("TKVLogBase.md: out of date"), std::string::npos) << problems[0];
}

TEST_F(ReferencePagesTest, APageWithoutItsEndMarkerIsRefusedAndLeftAsItWas) {
    doc::UpdatePages(docs_);
    const std::string page = docs_ + "/components/TKVFileLog.md";
    const std::string handWritten = std::string("# TKVFileLog\n\nNotes.\n\n") + doc::kBeginMarker +
                                    "old table\n\nMore notes.\n";
    Write(page, handWritten);

    EXPECT_THROW(doc::UpdatePages(docs_), EParserError);
    EXPECT_EQ(Read(page), handWritten);
    EXPECT_FALSE(doc::CheckPages(docs_).empty());
}

}  // namespace
}  // namespace zr
