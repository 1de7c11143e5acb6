// One pass over the outbox: every envelope that is due goes to its
// collector, and what the collector answers decides whether it is removed,
// kept with a later retry time, or dropped (counted for the next client
// report, with a note for the user). Used by the sender thread and by the
// outbox tool.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "CollectorAnswers.h"
#include "CollectorDsn.h"
#include "CollectorOutbox.h"
#include "CollectorTransport.h"

namespace zr::os::collector {

struct TRoute {
    TCollectorDsn Dsn;
    TTransportOptions Transport;
    // One line for the user about an envelope the collector refused.
    std::function<void(const std::string&)> Note;
};

// The route for the collector an envelope names (its header's dsn), or null
// for one that this pass leaves alone.
using TRouteLookup = std::function<const TRoute*(const std::string& dsn)>;

struct TPass {
    int Sent = 0;
    int Dropped = 0;
    int Waiting = 0;         // still in the outbox for a known collector
    long long NextDue = 0;   // Unix ms of the earliest one waiting, 0 when none
};

// What passes learnt about envelopes that are not due yet (name -> Unix ms),
// so that a pass woken by a new envelope reads only that one: an outbox
// full of reports waiting out an outage costs each report nothing.
using TDueMemo = std::map<std::string, long long>;

// With `now` set, retry times are passed over (a user who asks to send now);
// collectors' limits are always kept.
TPass DeliverDue(TOutbox& outbox, TTransport& transport, const TRouteLookup& routes,
                 const TBackoff& backoff, bool now = false, TDueMemo* memo = nullptr);

}  // namespace zr::os::collector
