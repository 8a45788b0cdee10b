#include "common/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_count = 0;
std::function<void(int, int)> &Handler() {
  static std::function<void(int, int)> handler;
  return handler;
}
int g_handled = 0;

void onSignal(int sig) {
  // Only async-signal-safe work here: wake the event loop. If that loop does
  // not run (the thread is stuck), the third signal takes the default way out.
  const sig_atomic_t count = g_count + 1;
  g_count = count;
  if (count >= 3) {
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    return;
  }
  const unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] const auto n = ::write(g_pipe[1], &b, 1);
}

void Dispatch() {
  unsigned char buf[16];
  ssize_t n;
  while ((n = ::read(g_pipe[0], buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      ++g_handled;
      // A copy: the handler may replace itself.
      const auto handler = Handler();
      if (handler) handler(buf[i], g_handled);
    }
  }
}

}  // namespace

void WatchTerminationSignals() {
  if (g_pipe[0] >= 0) return;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  // Owned by the application object: it lives as long as the event loop.
  auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, &Dispatch);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

void SetTerminationHandler(std::function<void(int sig, int count)> handler) {
  Handler() = std::move(handler);
  g_handled = 0;
  g_count = 0;
}

void ExitForSignal(int sig) { ::_exit(128 + sig); }
