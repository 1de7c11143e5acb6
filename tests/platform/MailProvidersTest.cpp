// The mail providers behind Simple MAPI, each with a stand-in for the
// program it runs: which one ZORIRIVE_MAIL picks, what the mail client and
// sendmail are given (never through a shell), the outbox's .eml files, the
// Simple MAPI codes for each failure, name lookup in the aliases, temporary
// files and the web page opener.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/Mapi.h"
#include "platform/MailAliases.h"
#include "platform/MailProvider.h"
#include "platform/Process.h"
#include "platform/Shell.h"
#include "platform/TempFiles.h"
#include "tests/core/LogTestSupport.h"
#include "tests/platform/DescriptorTestSupport.h"
#include "tests/platform/MailTestSupport.h"

namespace zr::os {
namespace {

namespace fs = std::filesystem;
using namespace mapi_codes;

using zr::testing::ScopedEnv;

// A scratch folder with a bin/ folder at the front of PATH for stand-in
// programs, and the user's folders (cache, state, mailrc) inside it.
class MailProviders : public zr::testing::ScratchFolder {
  protected:
    void SetUp() override {
        ScratchFolder::SetUp();
        fs::create_directory(Path("bin"));
        path_.emplace("PATH", Path("bin") + ":/usr/bin:/bin");
        cache_.emplace("XDG_CACHE_HOME", Path("cache"));
        mailrc_.emplace("MAILRC", Path("mailrc"));
    }
    void TearDown() override {
        mailrc_.reset();
        cache_.reset();
        path_.reset();
        ScratchFolder::TearDown();
    }

    // A program that writes its arguments, NUL-separated, to <name>.args,
    // its standard input to <name>.stdin, and exits with `status`.
    void StandIn(const std::string& name, int status, const std::string& extra = "") {
        const std::string script = Path("bin/" + name);
        std::ofstream out(script);
        out << "#!/bin/sh\n"
            << "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" << Path(name + ".args")
            << "'\n"
            << (name == "sendmail" ? "/bin/cat > '" + Path(name + ".stdin") + "'\n" : "") << extra
            << "exit " << status << "\n";
        out.close();
        fs::permissions(script, fs::perms::owner_all);
    }
    std::vector<std::string> ArgumentsOf(const std::string& name) const {
        const std::string all = Content(Path(name + ".args"));
        std::vector<std::string> args;
        std::size_t start = 0;
        for (std::size_t zero; (zero = all.find('\0', start)) != std::string::npos;
             start = zero + 1)
            args.push_back(all.substr(start, zero - start));
        return args;
    }
    std::string Write(const std::string& name, const std::string& content) {
        std::ofstream(Path(name), std::ios::binary) << content;
        return Path(name);
    }

    std::optional<ScopedEnv> path_, cache_, mailrc_;
};

// ---- choosing the provider ------------------------------------------------------------

TEST_F(MailProviders, TheSettingChoosesTheProvider) {
    EXPECT_EQ(MakeMailProvider("client")->Kind(), "client");
    EXPECT_EQ(MakeMailProvider("sendmail")->Kind(), "sendmail");
    EXPECT_EQ(MakeMailProvider("outbox:" + Path("box"))->Kind(), "outbox");
    EXPECT_EQ(MakeMailProvider("outbox")->Kind(), "outbox");
    // A typing error sends nothing anywhere, and says so.
    auto wrong = MakeMailProvider("sendmial");
    EXPECT_EQ(wrong->Send(TMailMessage{}, 0), MAPI_E_FAILURE);

    // Unset: the client only in a desktop session that has xdg-email.
    ScopedEnv path("PATH", Path("bin"));
    ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    {
        ScopedEnv display("DISPLAY", ":5");
        EXPECT_EQ(MakeMailProvider("")->Kind(), "outbox");  // no xdg-email yet
        StandIn("xdg-email", 0);
        EXPECT_EQ(MakeMailProvider("")->Kind(), "client");
    }
    ScopedEnv noDisplay("DISPLAY", std::nullopt);
    EXPECT_EQ(MakeMailProvider("")->Kind(), "outbox");
}

TEST_F(MailProviders, TheDefaultOutboxIsInTheUsersStateFolder) {
    ScopedEnv home("HOME", Path("home"));
    ScopedEnv state("XDG_STATE_HOME", Path("state"));
    EXPECT_EQ(DefaultOutboxFolder(), Path("state") + "/zoririve/outbox");
    ScopedEnv relative("XDG_STATE_HOME", "relative");  // not absolute: ignored
    EXPECT_EQ(DefaultOutboxFolder(), Path("home") + "/.local/state/zoririve/outbox");
}

// ---- the outbox -----------------------------------------------------------------------

TEST_F(MailProviders, TheOutboxHoldsOneCompleteMessageFilePerMail) {
    const std::string binary = std::string("BM\0\x01\xFF\r\n", 7) + std::string(1000, '\xAB');
    ScopedEnv setting("ZORIRIVE_MAIL", "outbox:" + Path("box/new"));  // folders made as needed

    // Through Simple MAPI, as a log component sends.
    MapiRecipDesc to{0, MAPI_TO, const_cast<char*>("Anna"), const_cast<char*>("SMTP:anna@x.org"),
                     0, nullptr};
    std::string shot = Write("KVL1.bmp", binary), log = Write("kvevents.log", "line 1\r\n");
    MapiFileDesc files[2] = {
        {0, 0, 0xFFFFFFFF, shot.data(), const_cast<char*>("KVL1.bmp"), nullptr},
        {0, 0, 0xFFFFFFFF, log.data(), nullptr, nullptr}};
    MapiMessage message{};
    message.lpszSubject = const_cast<char*>("Report");
    message.lpszNoteText = const_cast<char*>("Body text\r\n");
    message.nRecipCount = 1;
    message.lpRecips = &to;
    message.nFileCount = 2;
    message.lpFiles = files;
    ASSERT_EQ(MapiSendMail(0, 0, &message, MAPI_LOGON_UI | MAPI_DIALOG, 0), SUCCESS_SUCCESS);
    ASSERT_EQ(MapiSendMail(0, 0, &message, MAPI_LOGON_UI, 0), SUCCESS_SUCCESS);

    std::vector<std::string> mails;
    for (const auto& entry : fs::directory_iterator(Path("box/new")))
        mails.push_back(entry.path().string());
    ASSERT_EQ(mails.size(), 2u);  // two sends, two files; nothing half-written left over
    for (const std::string& mail : mails) {
        EXPECT_EQ(fs::path(mail).extension(), ".eml");
        const auto read = zr::testing::ReadMime(Content(mail));
        EXPECT_EQ(read.head.Header("to"), "Anna <anna@x.org>");
        EXPECT_EQ(read.head.Header("subject"), "Report");
        ASSERT_EQ(read.parts.size(), 3u);
        EXPECT_EQ(read.parts[0].Decoded(), "Body text\r\n");
        EXPECT_EQ(read.parts[1].Decoded(), binary);
        EXPECT_EQ(read.parts[1].Parameter("content-disposition", "filename"), "KVL1.bmp");
        EXPECT_EQ(read.parts[2].Decoded(), "line 1\r\n");
        EXPECT_EQ(read.parts[2].Parameter("content-disposition", "filename"), "kvevents.log");
    }
}

TEST_F(MailProviders, TheOutboxReportsWhatStopsIt) {
    TMailMessage message;
    message.Attachments = {{Path("missing.log"), "missing.log"}};
    EXPECT_EQ(MakeOutboxProvider(Path("box"))->Send(message, 0), MAPI_E_ATTACHMENT_NOT_FOUND);
    EXPECT_FALSE(fs::exists(Path("box")));

    message.Attachments.clear();
    Write("file", "");
    EXPECT_EQ(MakeOutboxProvider(Path("file/box"))->Send(message, 0), MAPI_E_FAILURE);
    if (::geteuid() != 0) {
        fs::create_directory(Path("locked"));
        fs::permissions(Path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(MakeOutboxProvider(Path("locked"))->Send(message, 0), MAPI_E_ACCESS_DENIED);
    }
}

// ---- the desktop mail client ----------------------------------------------------------

TEST_F(MailProviders, TheClientGetsEveryFieldAsAnArgumentOfItsOwn) {
    StandIn("xdg-email", 0);
    const std::string shot = Write("KVL9.bmp", "picture");
    TMailMessage message;
    message.Subject = "Report $(touch pwned); `id` \"quoted\" 'single'";
    message.Body = "line 1\r\nline 2 & more";
    message.Recipients = {{MAPI_TO, "a", "anna@example.org"},
                          {MAPI_CC, "c", "-carl@example.org"},
                          {MAPI_TO, "b", "bert smith@example.org"},
                          {MAPI_BCC, "d", "dora@example.org"}};
    message.Attachments = {{shot, "KVL9.bmp"}};
    ASSERT_EQ(MakeMailClientProvider()->Send(message, MAPI_LOGON_UI | MAPI_DIALOG),
              SUCCESS_SUCCESS);

    const auto args = ArgumentsOf("xdg-email");
    ASSERT_EQ(args.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 9),
              (std::vector<std::string>{"--utf8", "--cc", "-carl@example.org", "--bcc",
                                        "dora@example.org", "--subject", message.Subject, "--body",
                                        message.Body}));
    EXPECT_EQ(args[9], "--attach");
    // Addresses go in one mailto: URI, which nothing can turn into an option.
    EXPECT_EQ(args[11], "mailto:anna@example.org,bert%20smith@example.org");
    EXPECT_FALSE(fs::exists(Path("pwned")));
    EXPECT_FALSE(fs::exists("pwned"));

    // The client reads its copy of the attachment, which outlives the
    // caller's temporary file.
    EXPECT_EQ(fs::path(args[10]).filename(), "KVL9.bmp");
    EXPECT_EQ(args[10].rfind(Path("cache/zoririve/mail/"), 0), 0u);
    fs::remove(shot);
    EXPECT_EQ(Content(args[10]), "picture");
}

// A client that takes one compose string gets the addresses and attachment
// paths between quotes, after xdg-email's shell read backslash escapes: no
// quote, comma or backslash may reach it there, nor a backslash anywhere.
TEST_F(MailProviders, NothingTheClientGetsCanEndItsPlaceInAComposeString) {
    StandIn("xdg-email", 0);
    auto client = MakeMailClientProvider();
    const std::string shot = Write("shot.bmp", "picture");
    for (const char* address : {"x',attachment='/etc/passwd", "x\\047@example.org",
                                "\"x\"@example.org", "a@x.org,b@x.org", "a@x.org\nb"}) {
        TMailMessage message;
        message.Recipients = {{MAPI_CC, "x", address}};
        fs::remove(Path("xdg-email.args"));
        EXPECT_EQ(client->Send(message, MAPI_DIALOG), MAPI_E_INVALID_RECIPS) << address;
        EXPECT_FALSE(fs::exists(Path("xdg-email.args"))) << address;
    }
    TMailMessage message;
    message.Recipients = {{MAPI_TO, "a", "anna@example.org"}};
    message.Subject = "x\\054attachment=\\047/etc/passwd\\047";
    message.Body = "C:\\temp";
    message.Attachments = {{shot, "a',attachment='\\etc\"passwd,.bmp"}};
    ASSERT_EQ(client->Send(message, MAPI_DIALOG), SUCCESS_SUCCESS);
    const auto args = ArgumentsOf("xdg-email");
    ASSERT_EQ(args.size(), 8u);
    const std::string lookAlike = "\xEF\xBC\xBC";  // a backslash no shell reads
    EXPECT_EQ(args[2], "x" + lookAlike + "054attachment=" + lookAlike + "047/etc/passwd" +
                           lookAlike + "047");
    EXPECT_EQ(args[4], "C:" + lookAlike + "temp");
    EXPECT_EQ(fs::path(args[6]).filename(), "a__attachment=__etc_passwd_.bmp");
    EXPECT_EQ(Content(args[6]), "picture");
}

TEST_F(MailProviders, TheClientsFailuresBecomeSimpleMapiCodes) {
    auto client = MakeMailClientProvider();
    ScopedEnv path("PATH", Path("bin"));
    TMailMessage message;
    message.Recipients = {{MAPI_TO, "a", "a@x.org"}};
    EXPECT_EQ(client->Send(message, MAPI_DIALOG), MAPI_E_FAILURE);  // no xdg-email at all

    StandIn("xdg-email", 3);  // no mail client configured
    EXPECT_EQ(client->Send(message, MAPI_DIALOG), MAPI_E_FAILURE);
    StandIn("xdg-email", 0);
    message.Attachments = {{Path("gone.bmp"), "gone.bmp"}};
    fs::remove(Path("xdg-email.args"));
    EXPECT_EQ(client->Send(message, MAPI_DIALOG), MAPI_E_ATTACHMENT_NOT_FOUND);
    EXPECT_FALSE(fs::exists(Path("xdg-email.args")));  // not even started
    message.Attachments.clear();
    message.Body = std::string(200 * 1024, 'b');  // more than one argument may hold
    EXPECT_EQ(client->Send(message, MAPI_DIALOG), MAPI_E_TEXT_TOO_LARGE);
}

TEST_F(MailProviders, TheClientLetsTheUserSettleUnknownNamesInItsWindow) {
    auto client = MakeMailClientProvider();
    TResolvedName resolved;
    EXPECT_EQ(client->ResolveName("helpdesk", 0, resolved), MAPI_E_UNKNOWN_RECIPIENT);
    EXPECT_EQ(client->ResolveName("helpdesk", MAPI_DIALOG, resolved), SUCCESS_SUCCESS);
    EXPECT_EQ(resolved.Address, "helpdesk");
    EXPECT_EQ(client->ResolveName("  ", MAPI_DIALOG, resolved), MAPI_E_UNKNOWN_RECIPIENT);
    // The other providers have no window to ask in.
    EXPECT_EQ(MakeOutboxProvider(Path("box"))->ResolveName("helpdesk", MAPI_DIALOG, resolved),
              MAPI_E_UNKNOWN_RECIPIENT);
}

// ---- sendmail -------------------------------------------------------------------------

TEST_F(MailProviders, SendmailTakesTheMessageOnItsInput) {
    StandIn("sendmail", 0);
    TMailMessage message;
    message.Subject = "Silent";
    message.Body = "text\r\n";
    message.Recipients = {{MAPI_TO, "anna@x.org", "anna@x.org"},
                          {MAPI_BCC, "boss@x.org", "boss@x.org"}};
    message.Attachments = {{Write("kvevents.log", "log\n"), "kvevents.log"}};
    ASSERT_EQ(MakeSendmailProvider()->Send(message, MAPI_LOGON_UI), SUCCESS_SUCCESS);
    EXPECT_EQ(ArgumentsOf("sendmail"), (std::vector<std::string>{"-t", "-i"}));
    const std::string input = Content(Path("sendmail.stdin"));
    EXPECT_EQ(input.find('\r'), std::string::npos);  // local line ends
    const auto read = zr::testing::ReadMime(input, "\n");
    EXPECT_EQ(read.head.Header("bcc"), "boss@x.org");  // sendmail -t needs it, and drops it
    ASSERT_EQ(read.parts.size(), 2u);
    EXPECT_EQ(read.parts[1].Decoded(), "log\n");
}

TEST_F(MailProviders, SendmailsFailuresBecomeSimpleMapiCodes) {
    auto sendmail = MakeSendmailProvider();
    TMailMessage message;
    message.Recipients = {{MAPI_TO, "a@x.org", "a@x.org"}};
    ScopedEnv path("PATH", Path("bin"));  // and none in /usr/sbin or /usr/lib here
    if (!FindProgram("sendmail", {"/usr/sbin", "/usr/lib"}).empty())
        GTEST_SKIP() << "this machine has a sendmail of its own";
    EXPECT_EQ(sendmail->Send(message, 0), MAPI_E_FAILURE);
    const std::vector<std::pair<int, std::uint32_t>> statuses{
        {67, MAPI_E_UNKNOWN_RECIPIENT}, {75, MAPI_E_NETWORK_FAILURE}, {1, MAPI_E_FAILURE}};
    for (const auto& [status, code] : statuses) {
        StandIn("sendmail", status);
        EXPECT_EQ(sendmail->Send(message, 0), code) << status;
    }
    StandIn("sendmail", 0);
    message.Recipients.clear();
    EXPECT_EQ(sendmail->Send(message, 0), MAPI_E_INVALID_RECIPS);
    message.Attachments = {{Path("gone.bmp"), "gone.bmp"}};
    EXPECT_EQ(sendmail->Send(message, 0), MAPI_E_ATTACHMENT_NOT_FOUND);
}

// A transport that took the message but did not end is stuck, not done:
// the user must not read that the log was sent. It is left to end on its
// own and then reaped, never left a zombie.
TEST_F(MailProviders, ASendmailThatDoesNotFinishIsAFailureAndLeavesNoZombie) {
    StandIn("sendmail", 0, "echo $$ > '" + Path("sendmail.pid") + "'\n/bin/sleep 1\n");
    TMailMessage message;
    message.Recipients = {{MAPI_TO, "a@x.org", "a@x.org"}};
    EXPECT_EQ(MakeSendmailProvider(std::chrono::milliseconds(300))->Send(message, 0),
              MAPI_E_NETWORK_FAILURE);
    std::string pid;
    for (int i = 0; i < 500 && pid.empty(); ++i) {
        pid = Content(Path("sendmail.pid"));
        if (pid.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(pid.empty());
    const std::string proc = "/proc/" + pid.substr(0, pid.find('\n'));
    bool gone = false;
    for (int i = 0; i < 1000 && !gone; ++i) {
        gone = !fs::exists(proc);  // a zombie keeps its entry until reaped
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << Content(proc + "/stat");
}

// ---- helper programs --------------------------------------------------------------------

TEST_F(MailProviders, AProgramThatHangsOrIgnoresItsInputCannotHoldUpOrKillTheCaller) {
    StandIn("slow", 0, "/bin/sleep 5\n");
    const auto start = std::chrono::steady_clock::now();
    const TRunResult slow = RunProgram({"slow"}, nullptr, std::chrono::milliseconds(200));
    EXPECT_TRUE(slow.Started);
    EXPECT_FALSE(slow.Finished);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    // A reader that goes away would raise SIGPIPE in a plain pipe writer.
    StandIn("deaf", 0);
    const std::string input(4 << 20, 'x');
    const TRunResult deaf = RunProgram({"deaf"}, &input, std::chrono::seconds(10));
    EXPECT_TRUE(deaf.Started);
    EXPECT_FALSE(deaf.InputWritten);

    const TRunResult missing = RunProgram({"no-such-program"}, nullptr, std::chrono::seconds(1));
    EXPECT_FALSE(missing.Started);
    EXPECT_EQ(missing.StartError, ENOENT);
}

TEST_F(MailProviders, TheOpenerOpensOnlyWhatCannotBeTakenForAnOption) {
    ScopedEnv path("PATH", Path("bin"));
    EXPECT_EQ(ShellExecuteA(nullptr, "open", "https://example.org", nullptr, nullptr, 1),
              SE_ERR_NOASSOC);  // no xdg-open
    StandIn("xdg-open", 0);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", "", nullptr, nullptr, 1), SE_ERR_FNF);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", nullptr, nullptr, nullptr, 1), SE_ERR_FNF);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", "--version", nullptr, nullptr, 1), SE_ERR_FNF);
    EXPECT_EQ(ShellExecuteA(nullptr, "print", "a.txt", nullptr, nullptr, 1), SE_ERR_NOASSOC);
    EXPECT_GT(ShellExecuteA(nullptr, "open", "https://example.org", nullptr, nullptr, 1), 32);
    // Detached: it runs on its own time; wait for it before the folder goes.
    for (int i = 0; i < 500 && ArgumentsOf("xdg-open").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ArgumentsOf("xdg-open"), (std::vector<std::string>{"https://example.org"}));
}

// ---- names ----------------------------------------------------------------------------

TEST_F(MailProviders, NamesResolveThroughTheUsersAndTheSystemsAliases) {
    Write("mailrc",
          "# my aliases\n"
          "set ask\n"
          "alias anna anna@example.org\n"
          "alias team anna \"Bert B <bert@example.org>\" \\\n  carl@example.org\n"
          "group ops ops1@example.org\n"
          "alias Kim kim1@example.org\n"
          "alias KIM kim2@example.org\n"
          "alias loop loop2\n"
          "alias loop2 loop\n");
    Write("aliases", "# system\npostmaster: root\nabuse:\n  root, admin\n");
    const TAliasFiles files{Path("mailrc"), Path("aliases")};
    auto resolve = [&](const std::string& name) {
        TResolvedName resolved;
        const std::uint32_t code = ResolveMailName(name, files, resolved);
        return std::make_pair(code, resolved.Address);
    };
    using R = std::pair<std::uint32_t, std::string>;
    EXPECT_EQ(resolve("Anna <anna@elsewhere.org>"), R(0, "Anna <anna@elsewhere.org>"));
    EXPECT_EQ(resolve("anna"), R(0, "anna@example.org"));
    EXPECT_EQ(resolve(" anna "), R(0, "anna@example.org"));
    EXPECT_EQ(resolve("team"),
              R(0, "anna@example.org, Bert B <bert@example.org>, carl@example.org"));
    EXPECT_EQ(resolve("OPS"), R(0, "ops1@example.org"));  // one alias whatever the case
    EXPECT_EQ(resolve("Kim"), R(0, "kim1@example.org"));
    EXPECT_EQ(resolve("kim").first, MAPI_E_AMBIGUOUS_RECIPIENT);
    EXPECT_EQ(resolve("loop").first, SUCCESS_SUCCESS);     // ends, however it is set up
    EXPECT_EQ(resolve("Postmaster"), R(0, "Postmaster"));  // the local system delivers it
    EXPECT_EQ(resolve("abuse"), R(0, "abuse"));
    EXPECT_EQ(resolve("root").first, MAPI_E_UNKNOWN_RECIPIENT);
    EXPECT_EQ(resolve("").first, MAPI_E_UNKNOWN_RECIPIENT);
    TResolvedName none;
    EXPECT_EQ(ResolveMailName("x", TAliasFiles{Path("none"), Path("none")}, none),
              MAPI_E_UNKNOWN_RECIPIENT);
}

// Aliases that name each other many times over are expanded once each:
// seventeen lines each naming the next three times once took half a minute
// and gigabytes. A name that leads to more addresses than anybody mails a
// log to is refused.
TEST_F(MailProviders, AliasesAreExpandedOnceEachAndTheirAddressesAreCapped) {
    std::string chain;
    for (int i = 0; i < 17; ++i) {
        const std::string next = "a" + std::to_string(i + 1);
        chain += "alias a" + std::to_string(i) + " " + next + " " + next + " " + next + "\n";
    }
    chain += "alias a17 end@example.org\n";
    std::string wide = "alias wide";
    for (int i = 0; i < 1001; ++i) wide += " p" + std::to_string(i) + "@example.org";
    Write("mailrc", chain + wide + "\n");
    const TAliasFiles files{Path("mailrc"), ""};
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            ::alarm(20);  // the doubling walk would still be going
            TResolvedName resolved;
            const bool ok = ResolveMailName("a0", files, resolved) == SUCCESS_SUCCESS &&
                            resolved.Address == "end@example.org";
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    TResolvedName resolved;
    EXPECT_EQ(ResolveMailName("wide", files, resolved), MAPI_E_AMBIGUOUS_RECIPIENT);
    EXPECT_EQ(ResolveMailName("WIDE", files, resolved), MAPI_E_AMBIGUOUS_RECIPIENT);
    EXPECT_TRUE(resolved.Address.empty());
}

// The alias files are opened close-on-exec: a mail transport or opener
// that another thread starts at that moment must not inherit them.
TEST_F(MailProviders, AliasFilesAreOpenedCloseOnExec) {
    const TAliasFiles files{Path("mailrc.fifo"), ""};
    TResolvedName resolved;
    std::uint32_t code = MAPI_E_FAILURE;
    EXPECT_TRUE(zr::testing::OpensCloseOnExec(
        files.MailRc, zr::testing::TFifoSide::CodeReads,
        [&] { code = ResolveMailName("anna", files, resolved); }, "alias anna anna@example.org\n"));
    EXPECT_EQ(code, SUCCESS_SUCCESS);  // and it read what it was given
    EXPECT_EQ(resolved.Address, "anna@example.org");
}

// ---- temporary files --------------------------------------------------------------------

TEST_F(MailProviders, TemporaryFilesAreNewPrivateAndUnique) {
    ScopedEnv tmp("TMPDIR", dir_);
    char folder[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    EXPECT_EQ(std::string(folder), dir_ + "/");
    EXPECT_EQ(length, dir_.size() + 1);
    EXPECT_EQ(GetTempPathA(3, folder), dir_.size() + 2);  // too small: the size needed

    char first[MAX_PATH], second[MAX_PATH];
    const UINT a = GetTempFileNameA(folder, "KVLX", 0, first);
    const UINT b = GetTempFileNameA(folder, "KVLX", 0, second);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(std::string(first), std::string(second));
    EXPECT_EQ(std::string(first).rfind(dir_ + "/KVL", 0), 0u);
    EXPECT_EQ(fs::path(first).extension(), ".tmp");
    struct stat info {};
    ASSERT_EQ(::stat(first, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);

    // A given number only forms the name.
    EXPECT_EQ(GetTempFileNameA(dir_.c_str(), "KVL", 0x12AB, first), 0x12ABu);
    EXPECT_EQ(std::string(first), dir_ + "/KVL12AB.tmp");
    EXPECT_FALSE(fs::exists(first));

    EXPECT_EQ(GetTempFileNameA(Path("missing").c_str(), "KVL", 0, first), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    const std::string deep = dir_ + "/" + std::string(250, 'd');
    EXPECT_EQ(GetTempFileNameA(deep.c_str(), "KVL", 0, first), 0u);
    EXPECT_EQ(GetLastError(), 111u);  // ERROR_BUFFER_OVERFLOW

    // A TMPDIR that names no folder falls back to /tmp.
    ScopedEnv gone("TMPDIR", Path("missing"));
    GetTempPathA(MAX_PATH, folder);
    EXPECT_EQ(std::string(folder), "/tmp/");
}

}  // namespace
}  // namespace zr::os
