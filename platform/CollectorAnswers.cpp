#include "platform/CollectorAnswers.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace zr::os::collector {

namespace {

constexpr long long kDefaultLimitMillis = 60 * 1000;
// A collector cannot silence a client for longer than a day.
constexpr long long kLongestLimitSeconds = 24 * 3600;

// Whole seconds at the start of `text`, or -1.
long long Seconds(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    long long value = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits)
        value = std::min(value * 10 + (text[digits] - '0'), kLongestLimitSeconds);
    if (digits == 0) return -1;
    return value;
}

bool CoversErrors(std::string_view categories) {
    if (categories.empty()) return true;
    while (!categories.empty()) {
        const std::size_t semicolon = categories.find(';');
        const std::string_view category = categories.substr(0, semicolon);
        if (category == "error" || category == "default") return true;
        if (semicolon == std::string_view::npos) break;
        categories.remove_prefix(semicolon + 1);
    }
    return false;
}

}  // namespace

TBackoff BackoffFromEnvironment() {
    TBackoff backoff;
    if (const char* base = std::getenv("ZORIRIVE_COLLECTOR_BACKOFF_MS"); base && *base) {
        const long long value = std::atoll(base);
        if (value > 0) backoff.BaseMillis = value, backoff.CapMillis = std::max(value, value * 8);
    }
    return backoff;
}

long long BackoffMillis(const TBackoff& backoff, int attempts) {
    long long wait = backoff.BaseMillis;
    for (int i = 1; i < attempts && wait < backoff.CapMillis; ++i) wait *= 2;
    return std::min(wait, backoff.CapMillis);
}

TVerdict Judge(const TResponse& response) {
    const long status = response.Status;
    if (status >= 200 && status <= 299) return TVerdict::Sent;
    if (status == 0 || status == 429 || status == 500 || status == 502 || status == 503 ||
        status == 504)
        return TVerdict::Retry;
    return TVerdict::Drop;
}

long long LimitedUntil(const TResponse& response, long long nowMillis) {
    long long until = 0;
    std::string_view limits = response.RateLimits;
    while (!limits.empty()) {
        const std::size_t comma = limits.find(',');
        std::string_view entry = limits.substr(0, comma);
        limits = comma == std::string_view::npos ? std::string_view() : limits.substr(comma + 1);
        while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
        const std::size_t colon = entry.find(':');
        const long long seconds = Seconds(entry.substr(0, colon));
        if (seconds < 0) continue;
        std::string_view categories =
            colon == std::string_view::npos ? std::string_view() : entry.substr(colon + 1);
        categories = categories.substr(0, categories.find(':'));
        if (CoversErrors(categories)) until = std::max(until, nowMillis + seconds * 1000);
    }
    if (response.Status == 429 && until == 0) {
        const long long seconds = Seconds(response.RetryAfter);
        until = nowMillis + (seconds >= 0 ? seconds * 1000 : kDefaultLimitMillis);
    }
    return until;
}

}  // namespace zr::os::collector
