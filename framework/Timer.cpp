#include "framework/Timer.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/Application.h"
#include "framework/MessageQueue.h"
#include "framework/TypeInfo.h"

namespace zr {

ZR_REGISTER_CLASS(TTimer, c) {
    c.Property("Enabled", &TTimer::Enabled, &TTimer::SetEnabled).Default(true);
    c.Property("Interval", &TTimer::Interval, &TTimer::SetInterval).Default(1000);
    c.Property("OnTimer", &TTimer::OnTimer, &TTimer::SetOnTimer);
}

// Posts WM_TIMER to the timer's window every interval from a thread of its
// own, at most one at a time: the window takes the tick back with Taken().
// Each ticker has its own number, so a tick posted by a ticker that has since
// been replaced (a new Interval) is recognised and dropped.
class TTimerTicker {
  public:
    TTimerTicker(HWND window, std::uint32_t interval, WPARAM number)
        : window_(window),
          interval_(interval),
          number_(number),
          thread_([this](std::stop_token stop) { Run(stop); }) {}

    ~TTimerTicker() {
        thread_.request_stop();
        thread_.join();
    }

    WPARAM Number() const { return number_; }
    void Taken() { posted_.store(false); }

  private:
    void Run(std::stop_token stop) {
        std::mutex lock;
        std::condition_variable_any wake;
        std::unique_lock guard(lock);
        while (!wake.wait_for(guard, stop, std::chrono::milliseconds(interval_),
                              [] { return false; })) {
            if (stop.stop_requested()) return;
            if (!posted_.exchange(true)) PostMessage(window_, WM_TIMER, number_, 0);
        }
    }

    HWND window_;
    std::uint32_t interval_;
    WPARAM number_;
    std::atomic<bool> posted_{false};
    std::jthread thread_;
};

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    window_ = AllocateHWnd(TWndMethod(this, &TTimer::WndProc));
}

TTimer::~TTimer() {
    ticker_.reset();
    DeallocateHWnd(window_);
}

void TTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    UpdateTimer();
}

void TTimer::SetInterval(std::uint32_t value) {
    if (value == interval_) return;
    interval_ = value;
    UpdateTimer();
}

void TTimer::SetOnTimer(const TNotifyEvent& value) {
    onTimer_ = value;
    UpdateTimer();
}

void TTimer::Loaded() {
    TComponent::Loaded();
    UpdateTimer();
}

void TTimer::Timer() {
    if (onTimer_) onTimer_(this);
}

// Starts the count again, as the host does whenever a property changes.
void TTimer::UpdateTimer() {
    ticker_.reset();
    if (!enabled_ || interval_ == 0 || !onTimer_) return;
    if (IsLoading() || IsDesigning()) return;
    static std::atomic<WPARAM> numbers{0};
    ticker_ = std::make_unique<TTimerTicker>(window_, interval_, ++numbers);
}

void TTimer::WndProc(TMessage& message) {
    if (message.Msg != WM_TIMER) return;
    if (!ticker_ || message.WParam != ticker_->Number()) return;
    ticker_->Taken();
    // Nothing of this timer is touched after the handler: it may free the
    // timer or its owner.
    try {
        Timer();
    } catch (...) {
        if (Application != nullptr) Application->HandleException(this);
    }
}

}  // namespace zr
