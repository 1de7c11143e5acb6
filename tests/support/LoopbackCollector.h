// A crash collector of the tests' own on the loopback: HTTPS with a private
// CA made at run time, checking each request as a real collector does (the
// path, the auth header, the content type, gzip, the envelope's grammar and
// lengths, sent_at once, at most one event, the event's shape) and
// answering as the test tells it to: taken, a status with headers, a reset
// connection, silence, or not there at all.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zr::testing {

enum class TCollectorMode {
    Take,       // 200 with the event's id
    Status,     // Status with ExtraHeaders
    Reset,      // the connection is reset once accepted
    Silent,     // accepted, never answered
    Down,       // nothing listens
};

struct TReceived {
    std::string EventId;
    std::string EventJson;  // "" for an envelope without an event
    std::vector<std::string> ItemTypes;
    std::vector<std::string> AttachmentNames;
    std::string ReportText;
};

class TLoopbackCollector {
  public:
    // Makes the CA and the server certificate in `folder` and listens.
    explicit TLoopbackCollector(const std::string& folder);
    ~TLoopbackCollector();

    std::string Dsn() const;  // https://<key>@127.0.0.1:<port>/42
    const std::string& CaFile() const { return caFile_; }
    int Port() const { return port_; }

    void SetMode(TCollectorMode mode, int status = 0, const std::string& extraHeaders = "");

    // Envelopes taken (2xx answered), in order.
    std::vector<TReceived> Taken() const;
    std::set<std::string> TakenEventIds() const;
    // Every request that reached the server with its answer's status (0 for
    // a reset or silence), in order.
    std::vector<int> Answers() const;
    // What a real collector would have refused, one line each.
    std::vector<std::string> Violations() const;
    // Waits until `count` envelopes were taken.
    bool WaitForTaken(std::size_t count, int timeoutMs) const;

  private:
    void Listen();
    void Serve();
    void Handle(int fd);
    std::string Check(const std::string& head, const std::string& body, TReceived& received);

    std::string caFile_;
    std::string certFile_;
    std::string keyFile_;
    int port_ = 0;
    int listener_ = -1;
    void* context_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    TCollectorMode mode_ = TCollectorMode::Take;
    int status_ = 0;
    std::string extraHeaders_;
    std::vector<int> held_;  // silent connections
    std::vector<TReceived> taken_;
    std::vector<int> answers_;
    std::vector<std::string> violations_;
};

// A small event that keeps every rule below, for tests that fill an outbox.
std::string MinimalEvent(const std::string& eventId, const std::string& type,
                         const std::string& message);

// The rules of an event that the collector's schema sets and these tests
// rely on; "" when `eventJson` keeps them, else the first one broken.
std::string EventRuleBroken(const std::string& eventJson);

}  // namespace zr::testing
