// The desktop's mail client, reached through xdg-email: it opens the
// client's compose window with the recipients, subject, body and
// attachments filled in, and the user sends from there.
//
// xdg-email cannot tell whether the user sent or discarded the message, and
// the client may read the attachments only when the message is finally
// sent, long after the caller has deleted its temporary files (the
// screenshot). So the attachments are first copied to a staging folder of
// their own that outlives the call; stale staging folders are removed on a
// later send.
//
// Some clients take the whole message as one compose string, into which
// xdg-email pastes the addresses and attachment paths between quotes, after
// its shell has read backslash escapes in every field more than once. A
// quote, comma or backslash there would end a value and start fields of its
// own (an attachment of any file the user can read). So an address or path
// holding one is refused, an attachment's name has them replaced, and a
// backslash in the subject or body becomes a look-alike that no shell reads.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/MailProvider.h"
#include "platform/Process.h"

namespace zr::os {

using namespace mapi_codes;
namespace fs = std::filesystem;

namespace {

// xdg-email returns once the client has the message; a client that was
// not running yet may keep xdg-email waiting until the client quits, so
// after this long the compose window is taken to be open.
constexpr std::chrono::seconds kStartTimeout{5};
// How long staged attachments are kept for a compose window left open.
constexpr auto kStagingLifetime = std::chrono::hours(24 * 7);

std::string StagingRoot() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/')
        return std::string(cache) + "/zoririve/mail";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.cache/zoririve/mail";
    return {};
}

void RemoveStaleStaging(const fs::path& root) {
    std::error_code ec;
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code timeError;
        const auto written = fs::last_write_time(it->path(), timeError);
        if (!timeError && now - written > kStagingLifetime) fs::remove_all(it->path(), timeError);
    }
}

// A fresh private folder below the staging root; empty when none can be made.
std::string NewStagingFolder() {
    const std::string root = StagingRoot();
    if (root.empty()) return {};
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) return {};
    RemoveStaleStaging(root);
    std::string pattern = root + "/msg-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

bool SpecialInComposeString(char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == '\'' || c == '"' || c == ',' || c == '\\' || u < 0x20 || u == 0x7F;
}

bool SafeInComposeString(const std::string& text) {
    return std::none_of(text.begin(), text.end(), SpecialInComposeString);
}

// A path the client is given, and the one xdg-email makes of it by resolving
// its links.
bool SafePath(const std::string& path) {
    std::error_code ec;
    const fs::path resolved = fs::canonical(path, ec);
    return SafeInComposeString(path) && !ec && SafeInComposeString(resolved.string());
}

// FULLWIDTH REVERSE SOLIDUS: reads as a backslash, escapes nothing.
std::string WithoutBackslashes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\xEF\xBC\xBC";
        else
            out += c;
    }
    return out;
}

// The name the receiver sees, never a path that could leave the folder nor
// a character that could leave its place in a compose string.
std::string SafeFileName(const TMailAttachment& file) {
    std::string name = fs::path(file.FileName).filename().string();
    if (name.empty() || name == "." || name == "..") name = fs::path(file.Path).filename().string();
    std::replace_if(name.begin(), name.end(), SpecialInComposeString, '_');
    return name.empty() ? "attachment" : name;
}

std::uint32_t CodeOfCopyError(const std::error_code& ec) {
    return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory
               ? MAPI_E_ATTACHMENT_NOT_FOUND
               : MAPI_E_ATTACHMENT_OPEN_FAILURE;
}

// Copies every attachment into `folder` under the name the receiver sees
// (in a numbered subfolder when two share a name); `paths` gets the copies.
std::uint32_t StageAttachments(const TMailMessage& message, const std::string& folder,
                               std::vector<std::string>& paths) {
    for (std::size_t i = 0; i < message.Attachments.size(); ++i) {
        const TMailAttachment& file = message.Attachments[i];
        std::error_code ec;
        if (!fs::is_regular_file(file.Path, ec))
            return fs::exists(file.Path, ec) ? MAPI_E_ATTACHMENT_OPEN_FAILURE
                                             : MAPI_E_ATTACHMENT_NOT_FOUND;
        fs::path target = fs::path(folder) / SafeFileName(file);
        if (fs::exists(target, ec)) {
            const fs::path sub = fs::path(folder) / std::to_string(i);
            fs::create_directory(sub, ec);
            target = sub / SafeFileName(file);
        }
        fs::copy_file(file.Path, target, ec);
        if (ec) return CodeOfCopyError(ec);
        paths.push_back(target.string());
    }
    return SUCCESS_SUCCESS;
}

// Percent-encoding of an address inside a mailto: URI.
std::string UriEncoded(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) ||
            std::string_view("-._~!$'()*+=@").find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::uint32_t CodeOfExit(int status) {
    switch (status) {
        case 0:
            return SUCCESS_SUCCESS;
        case 2:  // a file to attach does not exist
            return MAPI_E_ATTACHMENT_NOT_FOUND;
        case 5:  // no permission to read a file to attach
            return MAPI_E_ATTACHMENT_OPEN_FAILURE;
        default:  // a syntax error, no mail client found, or the client failed
            return MAPI_E_FAILURE;
    }
}

class TMailClientProvider : public TMailProvider {
  public:
    std::string Kind() const override { return "client"; }

    std::uint32_t Send(const TMailMessage& message, std::uint32_t flags) override {
        try {
            const std::string program = FindProgram("xdg-email");
            if (program.empty()) return MAPI_E_FAILURE;
            for (const TMailRecipient& recipient : message.Recipients)
                if (!SafeInComposeString(recipient.Address)) return MAPI_E_INVALID_RECIPS;
            std::vector<std::string> attachments;
            std::string staging;
            if (!message.Attachments.empty()) staging = NewStagingFolder();
            std::uint32_t staged = staging.empty()
                                       ? ListOriginals(message, attachments)
                                       : StageAttachments(message, staging, attachments);
            if (staged == SUCCESS_SUCCESS &&
                !std::all_of(attachments.begin(), attachments.end(), SafePath))
                staged = MAPI_E_ATTACHMENT_OPEN_FAILURE;
            if (staged != SUCCESS_SUCCESS) {
                RemoveFolder(staging);
                return staged;
            }
            const TRunResult run = RunProgram(XdgEmailArguments(program, message, attachments),
                                              nullptr, kStartTimeout);
            if (!run.Started) {
                RemoveFolder(staging);
                // One argument may hold at most 128 KiB; a longer body cannot be passed.
                return run.StartError == E2BIG ? MAPI_E_TEXT_TOO_LARGE : MAPI_E_FAILURE;
            }
            if (!run.Finished) return SUCCESS_SUCCESS;  // the client holds the message
            const std::uint32_t code = CodeOfExit(run.ExitCode);
            if (code != SUCCESS_SUCCESS) RemoveFolder(staging);
            return code;
        } catch (const std::bad_alloc&) {
            return MAPI_E_INSUFFICIENT_MEMORY;
        }
    }

    // The compose window shows the names it is given, and the user can put
    // right there what the aliases do not know.
    std::uint32_t ResolveName(const std::string& name, std::uint32_t flags,
                              TResolvedName& resolved) override {
        const std::uint32_t code = TMailProvider::ResolveName(name, flags, resolved);
        if (code == SUCCESS_SUCCESS || (flags & MAPI_DIALOG) == 0) return code;
        if (name.find_first_not_of(" \t") == std::string::npos) return code;
        resolved = {name, name};
        return SUCCESS_SUCCESS;
    }

    // The argument vector: options with their values as separate arguments,
    // the to-recipients as one mailto: URI at the end, which no address can
    // turn into an option.
    static std::vector<std::string> XdgEmailArguments(const std::string& program,
                                                      const TMailMessage& message,
                                                      const std::vector<std::string>& attachments) {
        std::vector<std::string> args{program, "--utf8"};
        std::string to;
        for (const TMailRecipient& recipient : message.Recipients) {
            if (recipient.Address.empty()) continue;
            if (recipient.Class == MAPI_TO) {
                to += (to.empty() ? "" : ",") + UriEncoded(recipient.Address);
            } else {
                args.push_back(recipient.Class == MAPI_CC ? "--cc" : "--bcc");
                args.push_back(recipient.Address);
            }
        }
        if (!message.Subject.empty())
            args.insert(args.end(), {"--subject", WithoutBackslashes(message.Subject)});
        if (!message.Body.empty())
            args.insert(args.end(), {"--body", WithoutBackslashes(message.Body)});
        for (const std::string& path : attachments) args.insert(args.end(), {"--attach", path});
        args.push_back("mailto:" + to);
        return args;
    }

  private:
    // Without a staging folder the client gets the files where they are.
    static std::uint32_t ListOriginals(const TMailMessage& message,
                                       std::vector<std::string>& paths) {
        for (const TMailAttachment& file : message.Attachments) {
            std::error_code ec;
            if (!fs::exists(file.Path, ec)) return MAPI_E_ATTACHMENT_NOT_FOUND;
            paths.push_back(fs::absolute(file.Path, ec).string());
        }
        return SUCCESS_SUCCESS;
    }

    static void RemoveFolder(const std::string& folder) {
        std::error_code ec;
        if (!folder.empty()) fs::remove_all(folder, ec);
    }
};

}  // namespace

std::unique_ptr<TMailProvider> MakeMailClientProvider() {
    return std::make_unique<TMailClientProvider>();
}

}  // namespace zr::os
