// The periodic timer, on the message loop's thread timers.
#include "platform/Messages.h"
#include "platform/toolkit/Controls.h"

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
  PublishBoolean(
      "Enabled", [this] { return enabled_; }, [this](bool v) { SetEnabled(v); });
  PublishInteger(
      "Interval", [this] { return static_cast<int>(interval_); },
      [this](int v) {
        if (v < 0) throw EPropertyError("Interval must not be negative");
        SetInterval(static_cast<unsigned>(v));
      });
  PublishEvent("OnTimer", OnTimer);
  UpdateTimer();
}

TTimer::~TTimer() {
  if (timerId_ != 0) platform::KillTimer(0, timerId_);
}

void TTimer::SetEnabled(bool v) {
  // Enabling a running timer keeps its period.
  if (v == enabled_) return;
  enabled_ = v;
  UpdateTimer();
}

void TTimer::SetInterval(unsigned v) {
  if (v == interval_) return;
  interval_ = v;
  UpdateTimer();
}

void TTimer::AfterLoad() {
  TComponent::AfterLoad();
  UpdateTimer(true);
}

void TTimer::UpdateTimer(bool loaded) {
  if (timerId_ != 0) {
    platform::KillTimer(0, timerId_);
    timerId_ = 0;
  }
  const bool loading = IsLoading() || (Owner() != nullptr && Owner()->IsLoading());
  if (!enabled_ || interval_ == 0 || (loading && !loaded)) return;
  timerId_ = platform::SetTimer(
      0, 0, interval_,
      [this](platform::HWND, platform::UINT, platform::UINT, std::uint32_t) { DoTimer(); });
  if (timerId_ == 0) throw EComponentError("Not enough timers available");
}

void TTimer::DoTimer() {
  if (OnTimer) OnTimer(this);
}
