// A silent send: the message in MIME form is handed to the local mail
// transport with "sendmail -t", which takes the recipients from the headers.
// There is no window to open, so a message meant for the compose window
// goes out at once as well.
#include <cerrno>
#include <iostream>

#include "platform/MailProvider.h"
#include "platform/MimeMessage.h"
#include "platform/Process.h"

namespace zr::os {

using namespace mapi_codes;

namespace {

// The transport's exit status (the sysexits.h values) in Simple MAPI terms.
std::uint32_t CodeOfExit(int status) {
    switch (status) {
        case 0:
            return SUCCESS_SUCCESS;
        case 67:  // EX_NOUSER
        case 68:  // EX_NOHOST
            return MAPI_E_UNKNOWN_RECIPIENT;
        case 69:  // EX_UNAVAILABLE
        case 75:  // EX_TEMPFAIL
            return MAPI_E_NETWORK_FAILURE;
        case 77:  // EX_NOPERM
            return MAPI_E_ACCESS_DENIED;
        default:
            return MAPI_E_FAILURE;
    }
}

bool HasRecipient(const TMailMessage& message) {
    for (const TMailRecipient& recipient : message.Recipients)
        if (!recipient.Address.empty()) return true;
    return false;
}

class TSendmailProvider : public TMailProvider {
  public:
    explicit TSendmailProvider(std::chrono::milliseconds timeout) : timeout_(timeout) {}
    std::string Kind() const override { return "sendmail"; }

    std::uint32_t Send(const TMailMessage& message, std::uint32_t flags) override {
        try {
            const std::string program = FindProgram("sendmail", {"/usr/sbin", "/usr/lib"});
            if (program.empty()) return MAPI_E_FAILURE;
            std::vector<TMimeAttachment> attachments;
            if (const std::uint32_t code = LoadAttachments(message, attachments); code != 0)
                return code;
            // A silent send needs somebody to send to; the transport would
            // only bounce the message back.
            if (!HasRecipient(message)) return MAPI_E_INVALID_RECIPS;
            TMimeOptions options;
            options.NewLine = "\n";
            const std::string text = ComposeMimeMessage(message, attachments, options);
            // -i: a line holding a single dot is text, not the end of the message.
            const TRunResult run = RunProgram({program, "-t", "-i"}, &text, timeout_);
            if (!run.Started) return MAPI_E_FAILURE;
            if (!run.InputWritten) return MAPI_E_FAILURE;
            if (!run.Finished) return TransportDidNotFinish(program);
            return CodeOfExit(run.ExitCode);
        } catch (const std::bad_alloc&) {
            return MAPI_E_INSUFFICIENT_MEMORY;
        }
    }

  private:
    // A transport that has not taken the message into its queue by now is
    // stuck (a relay that does not answer, a full queue): the mail may never
    // leave, so the user must not be told it was sent. The transport is left
    // to finish or give up on its own; it is reaped in the background.
    std::uint32_t TransportDidNotFinish(const std::string& program) const {
        std::cerr << program << " did not finish within "
                  << std::chrono::duration_cast<std::chrono::seconds>(timeout_).count()
                  << " s; the mail transport did not finish, the mail may not have been sent\n";
        return MAPI_E_NETWORK_FAILURE;
    }

    std::chrono::milliseconds timeout_;
};

}  // namespace

std::unique_ptr<TMailProvider> MakeSendmailProvider(std::chrono::milliseconds timeout) {
    return std::make_unique<TSendmailProvider>(timeout);
}

}  // namespace zr::os
