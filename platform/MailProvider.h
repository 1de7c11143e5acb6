// Mail delivery behind Simple MAPI. There is no machine-wide mail API here,
// so a provider stands in for it: the desktop's mail client (xdg-email), a
// silent send through sendmail, or an outbox folder of .eml files. Which one
// runs is chosen by the environment variable ZORIRIVE_MAIL; tests install a
// provider of their own (the recording provider).
//
// Providers answer with the Simple MAPI result codes, so what a user finally
// reads is the same text whichever provider ran.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zr::os {

// The Simple MAPI result codes, kept in a namespace of their own so that the
// framework's Simple MAPI header can offer them under their usual names.
namespace mapi_codes {
constexpr std::uint32_t SUCCESS_SUCCESS = 0;
constexpr std::uint32_t MAPI_USER_ABORT = 1;
constexpr std::uint32_t MAPI_E_FAILURE = 2;
constexpr std::uint32_t MAPI_E_LOGON_FAILURE = 3;
constexpr std::uint32_t MAPI_E_DISK_FULL = 4;
constexpr std::uint32_t MAPI_E_INSUFFICIENT_MEMORY = 5;
constexpr std::uint32_t MAPI_E_ACCESS_DENIED = 6;
constexpr std::uint32_t MAPI_E_TOO_MANY_SESSIONS = 8;
constexpr std::uint32_t MAPI_E_TOO_MANY_FILES = 9;
constexpr std::uint32_t MAPI_E_TOO_MANY_RECIPIENTS = 10;
constexpr std::uint32_t MAPI_E_ATTACHMENT_NOT_FOUND = 11;
constexpr std::uint32_t MAPI_E_ATTACHMENT_OPEN_FAILURE = 12;
constexpr std::uint32_t MAPI_E_ATTACHMENT_WRITE_FAILURE = 13;
constexpr std::uint32_t MAPI_E_UNKNOWN_RECIPIENT = 14;
constexpr std::uint32_t MAPI_E_BAD_RECIPTYPE = 15;
constexpr std::uint32_t MAPI_E_NO_MESSAGES = 16;
constexpr std::uint32_t MAPI_E_INVALID_MESSAGE = 17;
constexpr std::uint32_t MAPI_E_TEXT_TOO_LARGE = 18;
constexpr std::uint32_t MAPI_E_INVALID_SESSION = 19;
constexpr std::uint32_t MAPI_E_TYPE_NOT_SUPPORTED = 20;
constexpr std::uint32_t MAPI_E_AMBIGUOUS_RECIPIENT = 21;
constexpr std::uint32_t MAPI_E_MESSAGE_IN_USE = 22;
constexpr std::uint32_t MAPI_E_NETWORK_FAILURE = 23;
constexpr std::uint32_t MAPI_E_INVALID_EDITFIELDS = 24;
constexpr std::uint32_t MAPI_E_INVALID_RECIPS = 25;
constexpr std::uint32_t MAPI_E_NOT_SUPPORTED = 26;

// Flags of the send and resolve calls.
constexpr std::uint32_t MAPI_LOGON_UI = 0x1;
constexpr std::uint32_t MAPI_DIALOG = 0x8;

// Recipient classes.
constexpr std::uint32_t MAPI_ORIG = 0;
constexpr std::uint32_t MAPI_TO = 1;
constexpr std::uint32_t MAPI_CC = 2;
constexpr std::uint32_t MAPI_BCC = 3;
}  // namespace mapi_codes

struct TMailRecipient {
    std::uint32_t Class = mapi_codes::MAPI_TO;  // MAPI_TO, MAPI_CC or MAPI_BCC
    std::string Name;                           // what a reader sees; may equal Address
    std::string Address;                        // where it goes; never empty
};

struct TMailAttachment {
    std::string Path;      // the file to send
    std::string FileName;  // the name the receiver sees
};

// One message as a provider receives it: plain texts, every recipient
// addressed, attachments in the order they are to appear.
struct TMailMessage {
    std::string Subject;
    std::string Body;
    std::vector<TMailRecipient> Recipients;
    std::vector<TMailAttachment> Attachments;
};

struct TResolvedName {
    std::string Name;
    std::string Address;
};

class TMailProvider {
  public:
    virtual ~TMailProvider() = default;
    // "client", "sendmail", "outbox", "recording", ... for messages and tests.
    virtual std::string Kind() const = 0;
    // Hands the message on; `flags` may hold MAPI_LOGON_UI and MAPI_DIALOG
    // (open the message for the user instead of sending it silently).
    // Returns a Simple MAPI code and never throws.
    virtual std::uint32_t Send(const TMailMessage& message, std::uint32_t flags) = 0;
    // Looks a recipient up: an entry holding "@" is an address already;
    // other names come from the user's mail aliases. MAPI_DIALOG in `flags`
    // allows the provider to let the user settle what it cannot.
    virtual std::uint32_t ResolveName(const std::string& name, std::uint32_t flags,
                                      TResolvedName& resolved);
};

// The provider Simple MAPI uses now: the one a test installed, else the one
// ZORIRIVE_MAIL names (read at each call, so a change is seen).
std::shared_ptr<TMailProvider> MailProvider();
// Installs `provider` (nullptr: back to ZORIRIVE_MAIL); returns the previous one.
std::shared_ptr<TMailProvider> SetMailProvider(std::shared_ptr<TMailProvider> provider);

class TScopedMailProvider {
  public:
    explicit TScopedMailProvider(std::shared_ptr<TMailProvider> provider)
        : previous_(SetMailProvider(std::move(provider))) {}
    ~TScopedMailProvider() { SetMailProvider(std::move(previous_)); }
    TScopedMailProvider(const TScopedMailProvider&) = delete;
    TScopedMailProvider& operator=(const TScopedMailProvider&) = delete;

  private:
    std::shared_ptr<TMailProvider> previous_;
};

// The provider a ZORIRIVE_MAIL value names: "client", "sendmail",
// "outbox:<folder>" ("outbox" alone: the default outbox). Empty: the
// client when a desktop session is there (DISPLAY or WAYLAND_DISPLAY set and
// xdg-email found), else the default outbox. Any other value gives a
// provider that refuses every message with MAPI_E_FAILURE and says why on
// standard error, rather than sending the mail somewhere the user did not ask.
std::unique_ptr<TMailProvider> MakeMailProvider(std::string_view setting);

// The user's outbox: $XDG_STATE_HOME/zoririve/outbox, or
// ~/.local/state/zoririve/outbox.
std::string DefaultOutboxFolder();

std::unique_ptr<TMailProvider> MakeMailClientProvider();
// The mail transport takes the message into its queue and returns within
// `timeout`; one that has not ended by then is reported as a failure
// (MAPI_E_NETWORK_FAILURE, "Network failure": the transport did not finish)
// and left to end on its own, never as a zombie.
std::unique_ptr<TMailProvider> MakeSendmailProvider(
    std::chrono::milliseconds timeout = std::chrono::seconds(60));
std::unique_ptr<TMailProvider> MakeOutboxProvider(const std::string& folder);

}  // namespace zr::os
