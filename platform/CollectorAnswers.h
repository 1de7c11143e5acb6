// What a collector's answer means for the envelope that was sent: taken,
// to be tried again later (and when), or dropped for good; and until when
// the collector asked to hear nothing more.
#pragma once

#include <string_view>

#include "CollectorTransport.h"

namespace zr::os::collector {

enum class TVerdict { Sent, Retry, Drop };

struct TBackoff {
    long long BaseMillis = 2000;
    long long CapMillis = 15 * 60 * 1000;
};

// The backoff settings: the defaults, or the base in milliseconds that
// $ZORIRIVE_COLLECTOR_BACKOFF_MS names (for tests that run through outages).
TBackoff BackoffFromEnvironment();

// The wait before attempt `attempts` + 1 after `attempts` failed ones:
// doubling from the base, never above the cap.
long long BackoffMillis(const TBackoff& backoff, int attempts);

// 2xx: sent. 429, 5xx we may retry (500, 502, 503, 504) and no answer at
// all: retry. 413 and any other answer: drop.
TVerdict Judge(const TResponse& response);

// Until when (Unix ms) events may not be sent after `response`, from
// X-Sentry-Rate-Limits (limits that cover errors) and, on a 429, Retry-After
// or else 60 s; 0 when no limit was asked for.
long long LimitedUntil(const TResponse& response, long long nowMillis);

}  // namespace zr::os::collector
