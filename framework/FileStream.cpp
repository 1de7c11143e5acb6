#include "framework/FileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "framework/Exceptions.h"
#include "framework/TypeInfo.h"
#include "platform/FileShare.h"

namespace zr {

ZR_REGISTER_CLASS(TStream, c) {}
ZR_REGISTER_CLASS(TFileStream, c) {}

// ---- TStream ------------------------------------------------------------

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr std::int64_t kChunk = 64 * 1024;
    std::vector<char> buffer(static_cast<std::size_t>(std::min(count, kChunk)));
    for (std::int64_t left = count; left > 0;) {
        std::int64_t n = std::min(left, kChunk);
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return count;
}

std::int64_t TStream::Size() {
    std::int64_t position = Seek(0, soFromCurrent);
    std::int64_t size = Seek(0, soFromEnd);
    Seek(position, soFromBeginning);
    return size;
}

void TStream::SetSize(std::int64_t) {}

// ---- TFileStream ----------------------------------------------------------

namespace {

std::string SystemText(int error) {
    if (error == EBUSY) return os::kSharingViolationText;
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be `buffer`.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text;
}

[[noreturn]] void RaiseCreateError(const std::string& fileName, int error) {
    throw EFCreateError("Cannot create file \"" + fileName + "\". " + SystemText(error));
}

[[noreturn]] void RaiseOpenError(const std::string& fileName, int error) {
    throw EFOpenError("Cannot open file \"" + fileName + "\". " + SystemText(error));
}

int OpenRetrying(const std::string& fileName, int flags, mode_t permissions = 0666) {
    int fd;
    do {
        fd = ::open(fileName.c_str(), flags | O_CLOEXEC | O_NOCTTY, permissions);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

// Streams are for files: a folder opens on Linux but is no stream.
int RefuseFolder(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) return EISDIR;
    return 0;
}

// Opens an existing file for the access of `request`. A write-only opener
// asks for read access too where the file allows it, because only readable
// descriptors can record their share markers; Read still refuses to read.
int OpenForAccess(const std::string& fileName, const os::ShareRequest& request) {
    if (request.read && request.write) return OpenRetrying(fileName, O_RDWR);
    if (request.read) return OpenRetrying(fileName, O_RDONLY);
    int fd = OpenRetrying(fileName, O_RDWR);
    if (fd == -1 && errno == EACCES) fd = OpenRetrying(fileName, O_WRONLY);
    return fd;
}

}  // namespace

TFileStream::TFileStream(const std::string& fileName, std::uint16_t mode, TExistingFile existing,
                         TNewFile newFile)
    : fileName_(fileName) {
    if (mode == fmCreate) {
        int flags = O_RDWR | O_CREAT | (existing == TExistingFile::Fail ? O_EXCL : 0);
        fd_ = OpenRetrying(fileName, flags, newFile == TNewFile::Private ? 0600 : 0666);
        if (fd_ == -1) RaiseCreateError(fileName, errno);
        // The file is emptied only once nobody else has it open, so a refused
        // create leaves another stream's data alone.
        const os::ShareRequest exclusive{true, true, true, true};
        int rc = os::AcquireShare(fd_, exclusive);
        // A file made by this call needs no emptying, and must not get it: an
        // opener of another process may have written to it before the
        // markers above were set.
        if (rc == 0 && existing == TExistingFile::Replace && ::ftruncate(fd_, 0) == -1) rc = errno;
        if (rc != 0) {
            ::close(fd_);
            fd_ = -1;
            RaiseCreateError(fileName, rc);
        }
        canRead_ = canWrite_ = true;
        return;
    }

    os::ShareRequest request;
    if (!os::ShareRequestFromMode(mode, request)) RaiseOpenError(fileName, EINVAL);
    fd_ = OpenForAccess(fileName, request);
    if (fd_ == -1) RaiseOpenError(fileName, errno);
    // Only a read-only open reaches a folder; the kernel refuses to write one.
    int rc = request.write ? 0 : RefuseFolder(fd_);
    if (rc == 0) rc = os::AcquireShare(fd_, request);
    if (rc != 0) {
        ::close(fd_);
        fd_ = -1;
        RaiseOpenError(fileName, rc);
    }
    canRead_ = request.read;
    canWrite_ = request.write;
}

TFileStream::~TFileStream() {
    if (fd_ != -1) ::close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    if (!canRead_ || count <= 0) return 0;
    auto* bytes = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        ssize_t n = ::read(fd_, bytes + done, static_cast<std::size_t>(count - done));
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    if (!canWrite_ || count <= 0) return 0;
    const auto* bytes = static_cast<const char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd_, bytes + done, static_cast<std::size_t>(count - done));
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    int whence = origin == soFromBeginning ? SEEK_SET
                 : origin == soFromCurrent ? SEEK_CUR
                                           : SEEK_END;
    return ::lseek(fd_, offset, whence);
}

std::int64_t TFileStream::Size() {
    struct stat info {};
    return ::fstat(fd_, &info) == 0 ? info.st_size : -1;
}

void TFileStream::SetSize(std::int64_t newSize) {
    if (::lseek(fd_, newSize, SEEK_SET) == -1 || ::ftruncate(fd_, newSize) == -1)
        RaiseLastOSError();
}

}  // namespace zr
