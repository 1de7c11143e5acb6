// The collector's envelope: one header line of JSON, then per item a header
// line of JSON with the payload's exact length, the payload, and a line
// break. An envelope is stored without `sent_at`; that goes into the header
// line only when it is sent (a collector rejects an envelope that has two).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "JsonText.h"

namespace zr::os::envelope {

inline constexpr const char* ClientName = "zoririve.native";
inline constexpr std::size_t MaxEventBytes = 1000 * 1000;
inline constexpr std::size_t MaxEnvelopeBytes = 100 * 1000 * 1000;

// 32 lower-case hexadecimal digits from the kernel's random source.
std::string NewEventId();

// The header line with its line break.
std::string Header(std::string_view eventId, std::string_view dsn, std::string_view sdkVersion);

// Appends one item: its header line ({"type":…,"length":N} and the fields
// in `extraFields`, a JSON object's members without braces, may be empty),
// the payload and a line break.
// An envelope is Header() followed by its items.
void AppendItem(std::string& envelope, std::string_view type, std::string_view payload,
                std::string_view extraFields = {});
// An attachment of the event (`filename` is required by collectors).
void AppendAttachment(std::string& envelope, std::string_view filename,
                      std::string_view contentType, std::string_view payload);

struct TItem {
    json::TValue Header;
    std::string Payload;
};
struct TEnvelope {
    json::TValue Header;
    std::vector<TItem> Items;
    // The first item of `type`, or null.
    const TItem* FirstOf(std::string_view type) const;
};

// Reads an envelope strictly: every header must be a JSON object, every
// item's length must fit, and a payload must be followed by a line break
// or the end. False with the reason in `error`.
bool Parse(std::string_view text, TEnvelope& envelope, std::string& error);

// The stored envelope with "sent_at":"<now, RFC 3339 UTC>" added to its
// header line; a header line that already holds one is left as it is.
std::string WithSentAt(std::string_view stored, std::string_view sentAt);

// RFC 3339 UTC with milliseconds ("2026-12-07T18:49:58.123Z") for a Unix
// time in milliseconds.
std::string Rfc3339(long long unixMillis);

// An envelope carrying a client report of events dropped before they were
// sent, counted by reason.
struct TDiscarded {
    std::string Reason;
    long long Quantity = 0;
};
std::string ClientReport(std::string_view dsn, std::string_view sdkVersion, double timestamp,
                         const std::vector<TDiscarded>& discarded);

}  // namespace zr::os::envelope
