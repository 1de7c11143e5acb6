// The outbox: each message becomes one .eml file in a folder, for a mail
// reader to open and send, or for a person or a job to pick up. Used where
// there is neither a desktop mail client nor a mail transport.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/MailProvider.h"
#include "platform/MimeMessage.h"

namespace zr::os {

using namespace mapi_codes;

namespace {

std::uint32_t CodeOfErrno(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return MAPI_E_DISK_FULL;
        case EACCES:
        case EPERM:
        case EROFS:
            return MAPI_E_ACCESS_DENIED;
        case ENOMEM:
            return MAPI_E_INSUFFICIENT_MEMORY;
        default:
            return MAPI_E_FAILURE;
    }
}

// mkdir -p; new folders are private to the user, as mail is. 0 or errno.
int MakeFolders(const std::string& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    const std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (const int error = MakeFolders(folder.substr(0, slash)); error != 0) return error;
    }
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return 0;
    return errno;
}

int WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? EIO : errno;
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

std::string Stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// Gives the finished temporary file a name of its own that no other file
// has: the link (or the rename that refuses to replace) fails on an existing
// name, so two senders never overwrite each other's mail, and a reader never
// sees a half-written .eml.
int Publish(const std::string& temporary, const std::string& folder) {
    const std::string base = folder + "/mail-" + Stamp() + "-" + std::to_string(::getpid());
    for (int n = 0; n < 10000; ++n) {
        const std::string name = base + (n == 0 ? "" : "-" + std::to_string(n)) + ".eml";
        if (::link(temporary.c_str(), name.c_str()) == 0) return 0;
        int error = errno;
        if (error == EPERM || error == EOPNOTSUPP || error == EXDEV) {
            // A file system without hard links.
            if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, name.c_str(),
                            RENAME_NOREPLACE) == 0)
                return 0;
            error = errno;
        }
        if (error != EEXIST) return error;
    }
    return EEXIST;
}

int WriteMessageFile(const std::string& folder, const std::string& text) {
    std::string temporary = folder + "/.mail-XXXXXX.part";
    const int fd = ::mkostemps(temporary.data(), 5, O_CLOEXEC);
    if (fd == -1) return errno;
    int error = WriteAll(fd, text);
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0) error = Publish(temporary, folder);
    ::unlink(temporary.c_str());  // after a link the published name keeps the content
    return error;
}

class TOutboxProvider : public TMailProvider {
  public:
    explicit TOutboxProvider(std::string folder) : folder_(std::move(folder)) {}

    std::string Kind() const override { return "outbox"; }

    std::uint32_t Send(const TMailMessage& message, std::uint32_t flags) override {
        try {
            std::vector<TMimeAttachment> attachments;
            if (const std::uint32_t code = LoadAttachments(message, attachments); code != 0)
                return code;
            if (const int error = MakeFolders(folder_); error != 0) return CodeOfErrno(error);
            TMimeOptions options;
            options.Draft = true;
            const std::string text = ComposeMimeMessage(message, attachments, options);
            const int error = WriteMessageFile(folder_, text);
            return error == 0 ? SUCCESS_SUCCESS : CodeOfErrno(error);
        } catch (const std::bad_alloc&) {
            return MAPI_E_INSUFFICIENT_MEMORY;
        }
    }

  private:
    std::string folder_;
};

}  // namespace

std::unique_ptr<TMailProvider> MakeOutboxProvider(const std::string& folder) {
    return std::make_unique<TOutboxProvider>(folder.empty() ? DefaultOutboxFolder() : folder);
}

}  // namespace zr::os
