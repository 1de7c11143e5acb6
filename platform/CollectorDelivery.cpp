#include "platform/CollectorDelivery.h"

#include <unistd.h>

#include <algorithm>
#include <map>

namespace zr::os::collector {

namespace {

void Due(TPass& pass, long long at) {
    ++pass.Waiting;
    if (pass.NextDue == 0 || at < pass.NextDue) pass.NextDue = at;
}

std::string DropNote(const std::string& eventId, const TResponse& response) {
    std::string note = "The crash collector refused report " + eventId + " (HTTP " +
                       std::to_string(response.Status) + (response.Status == 413 ? ", too large" : "") +
                       "); it was dropped and will not be sent again.";
    if (!response.Error.empty()) note += " It said: " + response.Error.substr(0, 200);
    return note;
}

// Tells each collector that took an envelope in this pass what was dropped
// unsent since the last report.
void ReportDiscarded(TOutbox& outbox, TTransport& transport,
                     const std::map<std::string, const TRoute*>& reached) {
    for (const auto& [key, route] : reached) {
        std::vector<envelope::TDiscarded> counts = outbox.TakeDiscarded(key);
        if (counts.empty()) continue;
        const long long now = NowMillis();
        const std::string report =
            envelope::ClientReport(route->Dsn.Text, "1.5.0", static_cast<double>(now) / 1000, counts);
        const TResponse response =
            transport.Post(route->Dsn, envelope::WithSentAt(report, envelope::Rfc3339(now)),
                           route->Transport);
        if (Judge(response) != TVerdict::Sent) outbox.ReturnDiscarded(key, counts);
    }
}

}  // namespace

TPass DeliverDue(TOutbox& outbox, TTransport& transport, const TRouteLookup& routes,
                 const TBackoff& backoff, bool now, TDueMemo* memo) {
    TPass pass;
    std::map<std::string, const TRoute*> reached;
    TDueMemo learnt;
    const auto later = [&](const std::string& name, long long at) {
        Due(pass, at);
        learnt[name] = at;
    };
    for (const TWaiting& waiting : outbox.List()) {
        if (transport.Cancelled()) break;
        if (memo != nullptr && !now) {
            const auto known = memo->find(waiting.Name);
            if (known != memo->end() && known->second > NowMillis()) {
                later(waiting.Name, known->second);
                continue;
            }
        }
        const int hold = outbox.Hold(waiting.Name);
        if (hold < 0) continue;  // another sender has it
        std::string text;
        envelope::TEnvelope parsed;
        std::string error;
        if (outbox.Read(waiting.Name, text) != ERROR_SUCCESS ||
            !envelope::Parse(text, parsed, error)) {
            // Damaged beyond sending (a disk error, a hand edit): it would
            // block nothing but would never go either.
            outbox.Remove(waiting.Name);
            ::close(hold);
            ++pass.Dropped;
            continue;
        }
        const std::string dsn = parsed.Header.StringAt("dsn");
        const TRoute* route = routes(dsn);
        if (route == nullptr) {
            ::close(hold);
            continue;
        }
        const std::string key = CollectorKey(dsn);
        const long long clock = NowMillis();
        const long long limited = outbox.LimitedUntil(key);
        TRetryState retry = outbox.Retry(waiting.Name);
        if (limited > clock || (!now && retry.NextMillis > clock)) {
            later(waiting.Name, std::max(limited, now ? 0 : retry.NextMillis));
            ::close(hold);
            continue;
        }
        if (retry.Attempts == 0) outbox.Sync(waiting.Name);
        const TResponse response = transport.Post(
            route->Dsn, envelope::WithSentAt(text, envelope::Rfc3339(clock)), route->Transport);
        if (transport.Cancelled()) {
            ::close(hold);
            break;
        }
        const long long until = LimitedUntil(response, NowMillis());
        if (until > 0) outbox.SetLimitedUntil(key, until);
        switch (Judge(response)) {
            case TVerdict::Sent:
                outbox.Remove(waiting.Name);
                ++pass.Sent;
                reached[key] = route;
                break;
            case TVerdict::Retry:
                ++retry.Attempts;
                retry.NextMillis = std::max(until, NowMillis() + BackoffMillis(backoff, retry.Attempts));
                outbox.SetRetry(waiting.Name, retry);
                later(waiting.Name, retry.NextMillis);
                break;
            case TVerdict::Drop:
                outbox.Remove(waiting.Name);
                outbox.AddDiscarded(key, "send_error", 1);
                if (route->Note) route->Note(DropNote(parsed.Header.StringAt("event_id"), response));
                ++pass.Dropped;
                break;
        }
        ::close(hold);
        // A collector that asked for silence hears nothing more in this pass.
        if (until > NowMillis()) {
            Due(pass, until);
            break;
        }
    }
    if (!transport.Cancelled()) ReportDiscarded(outbox, transport, reached);
    if (memo != nullptr) *memo = std::move(learnt);
    return pass;
}

}  // namespace zr::os::collector
