#include "platform/CollectorEnvelope.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

namespace zr::os::envelope {

std::string NewEventId() {
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // No kernel source: a clock-seeded generator still gives distinct ids.
        std::mt19937_64 fallback(static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count() ^ getpid()));
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(fallback());
    }
    std::string id(32, '0');
    for (int i = 0; i < 16; ++i) {
        id[2 * i] = "0123456789abcdef"[bytes[i] >> 4];
        id[2 * i + 1] = "0123456789abcdef"[bytes[i] & 15];
    }
    return id;
}

std::string Header(std::string_view eventId, std::string_view dsn, std::string_view sdkVersion) {
    std::string line = "{\"event_id\":";
    json::AppendQuoted(line, eventId);
    line += ",\"dsn\":";
    json::AppendQuoted(line, dsn);
    line += ",\"sdk\":{\"name\":";
    json::AppendQuoted(line, ClientName);
    line += ",\"version\":";
    json::AppendQuoted(line, sdkVersion);
    line += "}}\n";
    return line;
}

void AppendItem(std::string& envelope, std::string_view type, std::string_view payload,
                std::string_view extraFields) {
    envelope += "{\"type\":";
    json::AppendQuoted(envelope, type);
    envelope += ",\"length\":" + std::to_string(payload.size());
    if (!extraFields.empty()) envelope += ",", envelope += extraFields;
    envelope += "}\n";
    envelope += payload;
    envelope += '\n';
}

void AppendAttachment(std::string& envelope, std::string_view filename,
                      std::string_view contentType, std::string_view payload) {
    std::string fields = "\"filename\":" + json::Quoted(filename) +
                         ",\"attachment_type\":\"event.attachment\",\"content_type\":" +
                         json::Quoted(contentType);
    AppendItem(envelope, "attachment", payload, fields);
}

const TItem* TEnvelope::FirstOf(std::string_view type) const {
    for (const TItem& item : Items)
        if (item.Header.StringAt("type") == type) return &item;
    return nullptr;
}

namespace {

bool Line(std::string_view text, size_t& at, std::string_view& line) {
    if (at >= text.size()) return false;
    const size_t end = text.find('\n', at);
    line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    at = end == std::string_view::npos ? text.size() : end + 1;
    return true;
}

}  // namespace

bool Parse(std::string_view text, TEnvelope& envelope, std::string& error) {
    envelope = TEnvelope{};
    size_t at = 0;
    std::string_view line;
    if (!Line(text, at, line) || !json::Parse(line, envelope.Header, &error) ||
        envelope.Header.Kind != json::TValue::Object) {
        if (error.empty()) error = "the envelope header is no JSON object";
        return false;
    }
    while (at < text.size()) {
        Line(text, at, line);
        if (line.empty() && at >= text.size()) break;  // a final line break
        TItem item;
        if (!json::Parse(line, item.Header, &error) || item.Header.Kind != json::TValue::Object) {
            error = "an item header is no JSON object" + (error.empty() ? "" : ": " + error);
            return false;
        }
        if (item.Header.StringAt("type").empty()) {
            error = "an item has no type";
            return false;
        }
        const json::TValue* length = item.Header.Find("length");
        if (length != nullptr) {
            if (length->Kind != json::TValue::Number || length->Num < 0 ||
                length->Num != static_cast<double>(static_cast<size_t>(length->Num)) ||
                static_cast<size_t>(length->Num) > text.size() - at) {
                error = "an item's length does not fit the envelope";
                return false;
            }
            const auto size = static_cast<size_t>(length->Num);
            item.Payload = std::string(text.substr(at, size));
            at += size;
            if (at < text.size()) {
                if (text[at] != '\n') {
                    error = "a payload is not followed by a line break";
                    return false;
                }
                ++at;
            }
        } else {
            Line(text, at, line);
            item.Payload = std::string(line);
        }
        envelope.Items.push_back(std::move(item));
    }
    return true;
}

std::string WithSentAt(std::string_view stored, std::string_view sentAt) {
    const size_t lineEnd = std::min(stored.find('\n'), stored.size());
    const std::string_view header = stored.substr(0, lineEnd);
    const size_t close = header.rfind('}');
    if (close == std::string_view::npos || header.find("\"sent_at\"") != std::string_view::npos)
        return std::string(stored);
    std::string out(stored.substr(0, close));
    const std::size_t last = header.find_last_not_of(" \t\r", close == 0 ? 0 : close - 1);
    if (close > 0 && last != std::string_view::npos && header[last] != '{') out += ',';
    out += "\"sent_at\":";
    json::AppendQuoted(out, sentAt);
    out += stored.substr(close);
    return out;
}

std::string Rfc3339(long long unixMillis) {
    const time_t seconds = static_cast<time_t>(unixMillis / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(unixMillis % 1000));
    return text;
}

std::string ClientReport(std::string_view dsn, std::string_view sdkVersion, double timestamp,
                         const std::vector<TDiscarded>& discarded) {
    std::string payload = "{\"timestamp\":" + std::to_string(static_cast<long long>(timestamp)) +
                          ",\"discarded_events\":[";
    for (size_t i = 0; i < discarded.size(); ++i) {
        if (i > 0) payload += ",";
        payload += "{\"reason\":" + json::Quoted(discarded[i].Reason) +
                   ",\"category\":\"error\",\"quantity\":" +
                   std::to_string(discarded[i].Quantity) + "}";
    }
    payload += "]}";
    std::string envelope = "{\"dsn\":" + json::Quoted(dsn) + ",\"sdk\":{\"name\":" +
                           json::Quoted(ClientName) + ",\"version\":" + json::Quoted(sdkVersion) +
                           "}}\n";
    AppendItem(envelope, "client_report", payload);
    return envelope;
}

}  // namespace zr::os::envelope
