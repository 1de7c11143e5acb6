#include "platform/ShutdownWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace zr::os {

namespace {

class TLogindShutdownWatcher final : public TShutdownWatcher {
  public:
    explicit TLogindShutdownWatcher(std::function<void()> report) : report_(std::move(report)) {
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        // sd_bus_open_system honours DBUS_SYSTEM_BUS_ADDRESS, which lets a
        // test bus stand in for the system's.
        if (stop_ < 0 || sd_bus_open_system(&bus_) < 0) {
            Close();
            return;
        }
        // The bus checks a match's sender only for broadcasts, and a match on
        // a well-known name lets a signal addressed to us from anyone through.
        // So the announcement is believed only as a broadcast from the unique
        // name that owns logind's name now: follow the owner from before it
        // is first asked, so that no change of owner is missed.
        if (sd_bus_add_match(bus_, &ownerMatch_,
                             "type='signal',sender='org.freedesktop.DBus',"
                             "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
                             "member='NameOwnerChanged',arg0='org.freedesktop.login1'",
                             &TLogindShutdownWatcher::OwnerChanged, this) < 0 ||
            sd_bus_match_signal(bus_, &match_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", "PrepareForShutdown",
                                &TLogindShutdownWatcher::Signal, this) < 0) {
            Close();
            return;
        }
        AskOwner();
        thread_ = std::thread([this] { Loop(); });
    }

    ~TLogindShutdownWatcher() override {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(stop_, &one, sizeof one);
            thread_.join();
        }
        Close();
    }

    bool Watching() const override { return thread_.joinable(); }

  private:
    void Close() {
        match_ = sd_bus_slot_unref(match_);
        ownerMatch_ = sd_bus_slot_unref(ownerMatch_);
        bus_ = sd_bus_flush_close_unref(bus_);
        if (stop_ >= 0) ::close(stop_);
        stop_ = -1;
    }

    // Nobody owns the name (logind not running): nothing is believed until
    // somebody does.
    void AskOwner() {
        sd_bus_message* reply = nullptr;
        const char* owner = nullptr;
        if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", nullptr, &reply, "s",
                               "org.freedesktop.login1") >= 0 &&
            sd_bus_message_read(reply, "s", &owner) >= 0 && owner != nullptr)
            owner_ = owner;
        sd_bus_message_unref(reply);
    }

    // Only the bus itself speaks as org.freedesktop.DBus: the daemon stamps
    // every other message with its sender's unique name.
    static bool FromBusDriver(sd_bus_message* message) {
        const char* sender = sd_bus_message_get_sender(message);
        return sender != nullptr && std::strcmp(sender, "org.freedesktop.DBus") == 0 &&
               sd_bus_message_get_destination(message) == nullptr;
    }

    static int OwnerChanged(sd_bus_message* message, void* data, sd_bus_error*) {
        auto* self = static_cast<TLogindShutdownWatcher*>(data);
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (!FromBusDriver(message) ||
            sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0 ||
            std::strcmp(name, "org.freedesktop.login1") != 0)
            return 0;
        self->owner_ = newOwner;
        return 0;
    }

    static int Signal(sd_bus_message* message, void* data, sd_bus_error*) {
        auto* self = static_cast<TLogindShutdownWatcher*>(data);
        const char* sender = sd_bus_message_get_sender(message);
        if (self->owner_.empty() || sender == nullptr || self->owner_ != sender ||
            sd_bus_message_get_destination(message) != nullptr)
            return 0;
        int goingDown = 0;
        if (sd_bus_message_read(message, "b", &goingDown) >= 0 && goingDown != 0) self->report_();
        return 0;
    }

    void Loop() {
        for (;;) {
            int processed = 0;
            while ((processed = sd_bus_process(bus_, nullptr)) > 0) {
            }
            // The bus went away (the daemon restarted): nothing more to learn.
            if (processed < 0) return;
            std::uint64_t timeout = UINT64_MAX;
            sd_bus_get_timeout(bus_, &timeout);
            pollfd fds[2] = {{stop_, POLLIN, 0},
                             {sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0}};
            int wait = -1;
            if (timeout != UINT64_MAX) {
                // An absolute CLOCK_MONOTONIC time in microseconds.
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const std::uint64_t nowUs = now.tv_sec * 1000000ull + now.tv_nsec / 1000;
                const std::uint64_t ms = timeout <= nowUs ? 0 : (timeout - nowUs + 999) / 1000;
                wait = static_cast<int>(std::min<std::uint64_t>(ms, 60000));
            }
            int ready = ::poll(fds, 2, wait);
            if (ready < 0 && errno != EINTR) return;
            if ((fds[0].revents & POLLIN) != 0) return;
        }
    }

    std::function<void()> report_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* match_ = nullptr;
    sd_bus_slot* ownerMatch_ = nullptr;
    // The unique name that owns org.freedesktop.login1 now; empty for none.
    // Read and written only on the watcher's thread once it runs.
    std::string owner_;
    int stop_ = -1;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<TShutdownWatcher> TShutdownWatcher::Start(std::function<void()> report) {
    return std::make_unique<TLogindShutdownWatcher>(std::move(report));
}

}  // namespace zr::os
