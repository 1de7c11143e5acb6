// One HTTPS request to a crash collector: an envelope POSTed gzipped with
// the auth header, by libcurl (which also takes proxies from the usual
// environment variables). A transfer can be cut short from another thread
// at once, so that a process leaving while the collector does not answer
// is not held up.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "CollectorDsn.h"

namespace zr::os::collector {

struct TResponse {
    long Status = 0;          // 0: no answer (network error, cut short)
    std::string Error;        // why there was no answer
    std::string RetryAfter;   // the Retry-After header, as sent
    std::string RateLimits;   // the X-Sentry-Rate-Limits header, as sent
};

struct TTransportOptions {
    std::string CaFile;  // a CA file for a collector with a private certificate
    long ConnectTimeoutMs = 10000;
    long TotalTimeoutMs = 30000;
};

// `text` gzipped (deflate in gzip framing).
std::string Gzip(std::string_view text);
std::string Gunzip(std::string_view data);  // "" when it is not gzip

class TTransport {
  public:
    TTransport();
    ~TTransport();
    TTransport(const TTransport&) = delete;
    TTransport& operator=(const TTransport&) = delete;

    // Sends `body` (a whole envelope, gzipped here) and waits for the answer.
    TResponse Post(const TCollectorDsn& dsn, std::string_view body,
                   const TTransportOptions& options);
    // From any thread: the transfer under way (and every later one) ends at
    // once without an answer.
    void Cancel();
    // From any thread: the transfer under way runs `betweenPolls` (on the
    // sending thread) at once and goes on. Lets a thread held by a slow
    // collector still do its small chores.
    void Nudge();
    void SetBetweenPolls(std::function<void()> betweenPolls) { betweenPolls_ = std::move(betweenPolls); }
    bool Cancelled() const { return cancelled_.load(); }

  private:
    void* multi_;
    std::function<void()> betweenPolls_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace zr::os::collector
