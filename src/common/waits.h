#pragma once
// The clock, sleeps and message processing of the long steps. Tests install a
// virtual clock so that multi-second waits cost nothing and can be measured.
#include <QDateTime>
#include <cstdint>
#include <functional>

namespace waits {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t TickCount() = 0;   // milliseconds
  virtual void Sleep(int ms) = 0;
  virtual void ProcessMessages() = 0;
  virtual QDateTime Now() = 0;             // local date and time
};

// nullptr restores the real clock. The caller keeps ownership.
void SetClock(Clock *clock);

std::uint64_t TickCount();
void Sleep(int ms);
void ProcessMessages();
QDateTime Now();

// A clock whose time moves only when slept on; messages are still processed,
// so timers and queued events run as they would.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(QDateTime start = QDateTime(QDate(2026, 12, 10), QTime(10, 0)));
  ~VirtualClock() override;
  std::uint64_t TickCount() override { return ticks_; }
  void Sleep(int ms) override;
  void ProcessMessages() override;
  QDateTime Now() override { return start_.addMSecs(static_cast<qint64>(ticks_)); }

  std::uint64_t slept() const { return slept_; }  // total virtual sleep
  // Called after every sleep; tests use it to act at a moment of virtual time.
  std::function<void(std::uint64_t)> onSleep;

 private:
  QDateTime start_;
  std::uint64_t ticks_ = 1000;
  std::uint64_t slept_ = 0;
};

}  // namespace waits
