#include "platform/FileContent.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zr::os {

namespace {

int OpenRetrying(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

}  // namespace

bool ReadFileContent(const std::string& path, std::string& content) {
    content.clear();
    const int fd = OpenRetrying(path, O_RDONLY);
    if (fd == -1) return false;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n == 0 ? 0 : errno;
            ::close(fd);
            if (error == 0) return true;
            content.clear();
            errno = error;
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

TWriteResult WriteFileContent(const std::string& path, const void* data, std::size_t size) {
    TWriteResult result;
    const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd == -1) {
        result.Error = errno;
        return result;
    }
    result.Opened = true;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) {
            result.Error = n == 0 ? EIO : errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && result.Error == 0 && errno != EINTR) result.Error = errno;
    return result;
}

}  // namespace zr::os
