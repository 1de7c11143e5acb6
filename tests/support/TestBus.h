// A bus daemon of the test's own standing in for the system bus, and
// connections to it that play logind or somebody pretending to be it.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zr::test {

// One connection to the test bus, kept for as long as the object lives.
class TestBusClient {
  public:
    explicit TestBusClient(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        EXPECT_GE(sd_bus_start(bus_), 0);
    }
    ~TestBusClient() { sd_bus_flush_close_unref(bus_); }
    TestBusClient(const TestBusClient&) = delete;
    TestBusClient& operator=(const TestBusClient&) = delete;

    void Own(const char* name) { EXPECT_GE(sd_bus_request_name(bus_, name, 0), 0); }

    std::string UniqueName() {
        const char* unique = nullptr;
        sd_bus_get_unique_name(bus_, &unique);
        return unique != nullptr ? unique : "";
    }

    // Every other connection's unique name, as anybody on the bus can list them.
    std::vector<std::string> OthersOnTheBus() {
        std::vector<std::string> others;
        char** names = nullptr;
        if (sd_bus_list_names(bus_, &names, nullptr) < 0) return others;
        for (char** name = names; *name != nullptr; ++name) {
            if ((*name)[0] == ':' && UniqueName() != *name) others.emplace_back(*name);
            std::free(*name);
        }
        std::free(static_cast<void*>(names));
        return others;
    }

    // PrepareForShutdown as a broadcast (no destination) or addressed to one.
    void Announce(bool goingDown, const char* destination) {
        sd_bus_message* message = nullptr;
        ASSERT_GE(sd_bus_message_new_signal(bus_, &message, "/org/freedesktop/login1",
                                            "org.freedesktop.login1.Manager", "PrepareForShutdown"),
                  0);
        if (destination != nullptr) sd_bus_message_set_destination(message, destination);
        sd_bus_message_append(message, "b", goingDown ? 1 : 0);
        EXPECT_GE(sd_bus_send(bus_, message, nullptr), 0);
        sd_bus_message_unref(message);
        sd_bus_flush(bus_);
    }

  private:
    sd_bus* bus_ = nullptr;
};

class TestBus {
  public:
    TestBus() {
        FILE* out = ::popen(
            "dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
        if (out == nullptr) return;
        char line[512] = {};
        if (std::fgets(line, sizeof line, out))
            address_ = std::string(line).substr(0, std::strlen(line) - 1);
        if (std::fgets(line, sizeof line, out)) pid_ = std::atoi(line);
        ::pclose(out);
    }
    ~TestBus() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;
    const std::string& Address() const { return address_; }

    // A connection that owns `name` (when given) and emits PrepareForShutdown.
    void Announce(bool goingDown, const char* name) {
        TestBusClient client(address_);
        if (name != nullptr) client.Own(name);
        client.Announce(goingDown, nullptr);
    }

  private:
    std::string address_;
    int pid_ = 0;
};

// DBUS_SYSTEM_BUS_ADDRESS for the time of a test.
class SystemBusAddress {
  public:
    explicit SystemBusAddress(const std::string& address) {
        const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }
    ~SystemBusAddress() {
        if (had_) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", old_.c_str(), 1);
        } else {
            unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
    }

  private:
    bool had_ = false;
    std::string old_;
};

}  // namespace zr::test
