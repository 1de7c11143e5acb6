#include "platform/CollectorSender.h"

#include <condition_variable>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>

namespace zr::os::collector {

namespace {

// Files made ahead for reports: a burst of reports takes several before the
// thread makes more.
constexpr unsigned kSpares = 4;

// Never destroyed: the thread may still be inside a transfer when the
// process's statics go, and must find everything it uses in place.
struct TSender {
    std::mutex Lock;
    std::condition_variable Changed;
    std::list<TRoute> Routes;
    TOutbox Outbox;
    // The outbox the latest watch named; the thread moves to it between
    // passes (a test or a tool may point a process at another one).
    std::string WantedOutbox;
    TTransport Transport;
    TBackoff Backoff = BackoffFromEnvironment();
    TOutboxLimits Limits;
    TDueMemo Memo;  // the thread's own
    std::thread Thread;
    bool Started = false;
    bool Stopping = false;
    bool Done = false;
    bool Woken = false;
    bool Idle = false;  // the last pass left nothing due
    unsigned PassesStarted = 0;
    unsigned PassesDone = 0;

    const TRoute* Find(const std::string& dsn) {
        for (const TRoute& route : Routes)
            if (route.Dsn.Text == dsn) return &route;
        return nullptr;
    }

    void Run() {
        std::unique_lock guard(Lock);
        while (!Stopping) {
            Woken = false;
            const unsigned number = ++PassesStarted;
            const std::string wanted = WantedOutbox;
            guard.unlock();
            if (wanted != Outbox.Path()) Outbox.RemoveSpares(), Outbox.OpenAt(wanted), Memo.clear();
            Outbox.MakeSpares(kSpares);
            Outbox.Enforce(Limits, NowMillis());
            // The routes are read under the lock; a route's copy is taken so
            // that Watch may change the list while a transfer runs.
            const TPass pass = DeliverDue(
                Outbox, Transport,
                [this](const std::string& dsn) -> const TRoute* {
                    std::lock_guard routes(Lock);
                    return Find(dsn);
                },
                Backoff, false, &Memo);
            guard.lock();
            PassesDone = number;
            Idle = pass.Waiting == 0 && !Woken;
            Changed.notify_all();
            if (Stopping || Woken) continue;
            if (pass.NextDue == 0)
                Changed.wait(guard, [this] { return Stopping || Woken; });
            else
                Changed.wait_for(guard,
                                 std::chrono::milliseconds(std::max(1LL, pass.NextDue - NowMillis())),
                                 [this] { return Stopping || Woken; });
        }
        Outbox.RemoveSpares();
        Done = true;
        Changed.notify_all();
    }
};

TSender& Sender() {
    static TSender& sender = *new TSender;
    return sender;
}

void StopAtExit() {
    StopSender(ExitPatience);
}

}  // namespace

DWORD WatchCollector(const TRoute& route) {
    TSender& sender = Sender();
    std::lock_guard guard(sender.Lock);
    if (sender.Stopping) return ERROR_INVALID_HANDLE;
    TOutbox probe;
    if (DWORD status = probe.Open(); status != ERROR_SUCCESS) return status;
    sender.WantedOutbox = probe.Path();
    if (!sender.Started) sender.Outbox.OpenAt(probe.Path());
    bool replaced = false;
    for (TRoute& known : sender.Routes)
        if (known.Dsn.Text == route.Dsn.Text) known = route, replaced = true;
    // Routes are never erased while the thread may hold a pointer to one:
    // an unwatched collector keeps an entry with no key.
    if (!replaced) sender.Routes.push_back(route);
    if (!sender.Started) {
        sender.Started = true;
        sender.Transport.SetBetweenPolls([&sender] { sender.Outbox.MakeSpares(kSpares); });
        sender.Thread = std::thread([&sender] { sender.Run(); });
        std::atexit(StopAtExit);
    }
    sender.Woken = true;
    sender.Changed.notify_all();
    return ERROR_SUCCESS;
}

void UnwatchCollector(const std::string& dsn) {
    TSender& sender = Sender();
    std::lock_guard guard(sender.Lock);
    for (TRoute& route : sender.Routes)
        if (route.Dsn.Text == dsn) route.Dsn.Text.clear();
}

void WakeSender() {
    TSender& sender = Sender();
    std::lock_guard guard(sender.Lock);
    sender.Woken = true;
    sender.Idle = false;
    sender.Changed.notify_all();
    // A thread held by a collector that is slow to answer still makes the
    // next report's file ahead.
    if (sender.Started) sender.Transport.Nudge();
}

void StopSender(std::chrono::milliseconds patience) {
    TSender& sender = Sender();
    std::unique_lock guard(sender.Lock);
    if (!sender.Started || sender.Stopping) return;
    sender.Stopping = true;
    sender.Changed.notify_all();
    sender.Transport.Cancel();
    const bool done = sender.Changed.wait_for(guard, patience, [&sender] { return sender.Done; });
    guard.unlock();
    if (done)
        sender.Thread.join();
    else
        sender.Thread.detach();  // caught in a call that does not return at once
}

bool FlushSender(std::chrono::milliseconds timeout) {
    TSender& sender = Sender();
    std::unique_lock guard(sender.Lock);
    if (!sender.Started) return true;
    // A pass already under way may have listed the outbox before the last
    // envelope came: only one that starts from now on counts.
    const unsigned next = sender.PassesStarted + 1;
    sender.Woken = true;
    sender.Changed.notify_all();
    return sender.Changed.wait_for(guard, timeout, [&sender, next] {
        return sender.Done || (sender.PassesDone >= next && sender.Idle);
    }) && sender.Idle;
}

}  // namespace zr::os::collector
