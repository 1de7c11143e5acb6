// A go-between for the test run's X display: it listens as a display of its
// own and passes every byte both ways, until a client asks to read an image
// (GetImage): then it cuts that client's connection, as a display that goes
// away in the middle of a screen grab.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace zr::testing {

class TDisplayCutter {
  public:
    TDisplayCutter() {
        const char* real = std::getenv("DISPLAY");
        if (!real || real[0] != ':') return;  // only a local display
        realPath_ =
            "/tmp/.X11-unix/X" + std::string(real + 1).substr(0, std::string(real + 1).find('.'));
        if (::access(realPath_.c_str(), F_OK) != 0) return;
        for (int n = 700; n < 800 && listener_ == -1; ++n) {
            const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
            if (::access(path.c_str(), F_OK) == 0) continue;
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd == -1 || !Bind(fd, path) || ::listen(fd, 4) != 0) {
                if (fd != -1) ::close(fd);
                continue;
            }
            listener_ = fd;
            path_ = path;
            name_ = ":" + std::to_string(n);
        }
        if (listener_ != -1) thread_ = std::thread([this] { Run(); });
    }
    ~TDisplayCutter() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ != -1) ::close(listener_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TDisplayCutter(const TDisplayCutter&) = delete;
    TDisplayCutter& operator=(const TDisplayCutter&) = delete;

    bool Ok() const { return listener_ != -1; }
    // The DISPLAY value that reaches the display through the cutter.
    const std::string& Name() const { return name_; }
    // A client asked for an image and was cut off.
    bool Cut() const { return cut_; }

  private:
    struct TLink {
        int Client = -1;
        int Server = -1;
        std::string Pending;  // client bytes not yet forwarded
        bool SetupDone = false;
        bool LittleEndian = true;
    };

    static bool Bind(int fd, const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    int ConnectReal() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        realPath_.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        ::close(fd);
        return -1;
    }

    static std::uint32_t Read16(const TLink& link, std::size_t at) {
        const auto* b = reinterpret_cast<const unsigned char*>(link.Pending.data() + at);
        return link.LittleEndian ? b[0] | b[1] << 8 : b[0] << 8 | b[1];
    }
    static std::uint32_t Read32(const TLink& link, std::size_t at) {
        return link.LittleEndian ? Read16(link, at) | Read16(link, at + 2) << 16
                                 : Read16(link, at) << 16 | Read16(link, at + 2);
    }

    // Forwards the client's complete units (the set-up, then requests);
    // false once it asked for an image.
    bool Forward(TLink& link) {
        std::size_t done = 0;
        for (;;) {
            const std::size_t left = link.Pending.size() - done;
            std::size_t size = 0;
            if (!link.SetupDone) {
                if (left < 12) break;
                link.LittleEndian = link.Pending[done] == 'l';
                auto padded = [](std::uint32_t n) { return (n + 3) / 4 * 4; };
                size = 12 + padded(Read16(link, done + 6)) + padded(Read16(link, done + 8));
            } else {
                if (left < 4) break;
                if (static_cast<unsigned char>(link.Pending[done]) == 73) return false;
                size = 4 * Read16(link, done + 2);
                if (size == 0) {  // a big request: the length follows
                    if (left < 8) break;
                    size = 4 * static_cast<std::size_t>(Read32(link, done + 4));
                }
            }
            if (left < size) break;
            if (::write(link.Server, link.Pending.data() + done, size) !=
                static_cast<ssize_t>(size))
                return false;
            done += size;
            link.SetupDone = true;
        }
        link.Pending.erase(0, done);
        return true;
    }

    void Run() {
        std::vector<TLink> links;
        char buffer[65536];
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const TLink& link : links) {
                fds.push_back({link.Client, POLLIN, 0});
                fds.push_back({link.Server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            const std::size_t polled = links.size();
            if (fds[0].revents & POLLIN) {
                TLink link;
                link.Client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                link.Server = ConnectReal();
                if (link.Client != -1 && link.Server != -1) links.push_back(link);
            }
            for (std::size_t i = 0; i < polled; ++i) {
                TLink& link = links[i];
                bool open = true;
                if (fds[1 + 2 * i].revents) {
                    const ssize_t n = ::read(link.Client, buffer, sizeof buffer);
                    if (n > 0) link.Pending.append(buffer, static_cast<std::size_t>(n));
                    open = n > 0 && Forward(link);
                    if (open == false && n > 0) cut_ = true;
                }
                if (open && fds[2 + 2 * i].revents) {
                    const ssize_t n = ::read(link.Server, buffer, sizeof buffer);
                    open = n > 0 && ::write(link.Client, buffer, static_cast<std::size_t>(n)) == n;
                }
                if (!open) {
                    ::close(link.Client);
                    ::close(link.Server);
                    link.Client = link.Server = -1;
                }
            }
            std::erase_if(links, [](const TLink& link) { return link.Client == -1; });
        }
        for (const TLink& link : links) {
            ::close(link.Client);
            ::close(link.Server);
        }
    }

    std::string realPath_;
    std::string path_;
    std::string name_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
};

}  // namespace zr::testing
