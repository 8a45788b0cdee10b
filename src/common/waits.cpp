#include "common/waits.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace waits {
namespace {

class RealClock : public Clock {
 public:
  RealClock() { timer_.start(); }
  std::uint64_t TickCount() override { return static_cast<std::uint64_t>(timer_.elapsed()); }
  void Sleep(int ms) override { QThread::msleep(static_cast<unsigned long>(ms)); }
  void ProcessMessages() override { QCoreApplication::processEvents(); }
  QDateTime Now() override { return QDateTime::currentDateTime(); }

 private:
  QElapsedTimer timer_;
};

Clock *g_clock = nullptr;

Clock &clock() {
  static RealClock real;
  return g_clock ? *g_clock : real;
}

}  // namespace

void SetClock(Clock *c) { g_clock = c; }
std::uint64_t TickCount() { return clock().TickCount(); }
void Sleep(int ms) { clock().Sleep(ms); }
void ProcessMessages() { clock().ProcessMessages(); }
QDateTime Now() { return clock().Now(); }

VirtualClock::VirtualClock(QDateTime start) : start_(std::move(start)) {}
VirtualClock::~VirtualClock() {
  if (g_clock == this) g_clock = nullptr;
}

void VirtualClock::Sleep(int ms) {
  ticks_ += static_cast<std::uint64_t>(ms);
  slept_ += static_cast<std::uint64_t>(ms);
  if (onSleep) onSleep(ticks_);
}

void VirtualClock::ProcessMessages() { QCoreApplication::processEvents(); }

}  // namespace waits
