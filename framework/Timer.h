// A timer whose OnTimer runs on the main thread, from the message loop, every
// Interval milliseconds while it is Enabled and has a handler: a periodic
// component needs no thread, event or Synchronize of its own.
//
// Ticks do not pile up: while one is waiting in the queue, no other is
// posted, so a slow handler sees one tick, not a backlog. The handler may free
// the timer, or the timer's owner. While designing or loading nothing runs.
#pragma once

#include <cstdint>
#include <memory>

#include "Component.h"
#include "Event.h"
#include "Messages.h"

namespace zr {

class TTimerTicker;

class TTimer : public TComponent {
    ZR_CLASS(TTimer, TComponent)
  public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    // Milliseconds between ticks; 0 stops the timer as Enabled false does.
    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t value);
    TNotifyEvent OnTimer() const { return onTimer_; }
    void SetOnTimer(const TNotifyEvent& value);

  protected:
    void Loaded() override;
    // Calls OnTimer; an exception from it goes to Application->HandleException.
    virtual void Timer();

  private:
    void UpdateTimer();
    void WndProc(TMessage& message);

    bool enabled_ = true;
    std::uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    HWND window_ = nullptr;
    std::unique_ptr<TTimerTicker> ticker_;
};

}  // namespace zr
