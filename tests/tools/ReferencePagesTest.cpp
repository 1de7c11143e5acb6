// The reference pages' check: a table that no longer matches the type
// information is caught, and hand-written text is never overwritten.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "framework/Exceptions.h"
#include "tools/zrdoc/HeaderText.h"
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
    // A copy of the tree's pages beside links to its headers, as zrdoc sees
    // the tree itself.
    void SetUp() override {
        Register();
        std::string pattern = ::testing::TempDir() + "zrdoc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        top_ = pattern;
        docs_ = top_ + "/docs";
        std::filesystem::copy(std::string(ZR_SOURCE_DIR) + "/docs", docs_,
                              std::filesystem::copy_options::recursive);
        for (const char* folder : {"framework", "platform", "core", "exception", "applog",
                                   "dataset", "watchers", "checks", "package"})
            std::filesystem::create_directory_symlink(std::string(ZR_SOURCE_DIR) + "/" + folder,
                                                      top_ + "/" + folder);
    }
    void TearDown() override { std::filesystem::remove_all(top_); }
    std::string top_, docs_;
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

// An event its page never explains is a drift too, as a tool page that no
// longer shows the tool's --help is.
TEST_F(ReferencePagesTest, AnUnexplainedEventAndAnOldUsageAreReported) {
    const std::string component = docs_ + "/components/TKVFileLog.md";
    std::string text = Read(component);
    const size_t tables = text.find(doc::kBeginMarker);
    std::string handWritten = text.substr(0, tables);
    for (size_t at; (at = handWritten.find("`OnFileNotification`")) != std::string::npos;)
        handWritten.replace(at, 20, "the event");
    Write(component, handWritten + text.substr(tables));
    const std::string tool = docs_ + "/tools/zrmap.md";
    text = Read(tool);
    text.insert(text.find("```text\n", text.find(doc::ToolBeginMarker("zrmap"))) + 8, "old ");
    Write(tool, text);

    const auto problems = doc::CheckPages(docs_);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].find("OnFileNotification is not described"), std::string::npos)
        << problems[0];
    EXPECT_NE(problems[1].find("zrmap.md: out of date"), std::string::npos) << problems[1];
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

// A new component's event is listed with the names its type declares, as a
// newcomer writes it; a type that names nothing keeps the bare types.
TEST_F(ReferencePagesTest, EventParametersAreNamedAsTheHeadersDeclareThem) {
    std::filesystem::create_directory(docs_ + "/applog");
    Write(docs_ + "/applog/LogSample.h",
          "using TSampleEvent = TClosure<TObject* /*Sender*/, long /*ResidentKb*/,\n"
          "                              long /*CpuMs*/>;\n"
          "using TBareEvent = TClosure<TObject*, long>;\n"
          "class TKVSampleLog : public TKVLogBase {\n"
          "  public:\n"
          "    const TSampleEvent& OnSample() const { return onSample_; }\n"
          "    TBareEvent OnBare() const;\n"
          "};\n");
    const doc::THeaderText headers(docs_);
    EXPECT_EQ(headers.EventParamNames({"TKVSampleLog"}, "OnSample"),
              (std::vector<std::string>{"Sender", "ResidentKb", "CpuMs"}));
    EXPECT_TRUE(headers.EventParamNames({"TKVSampleLog"}, "OnBare").empty());
    EXPECT_TRUE(headers.EventParamNames({"TOther"}, "OnSample").empty());
}

}  // namespace
}  // namespace zr
