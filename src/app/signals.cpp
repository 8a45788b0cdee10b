#include "app/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

namespace {

int g_pipe[2] = {-1, -1};

void onSignal(int) {
  const char b = 1;
  // Only async-signal-safe work here: wake the event loop.
  [[maybe_unused]] const auto n = ::write(g_pipe[1], &b, 1);
}

}  // namespace

void CloseOnTerminationSignals(QWidget *mainWindow) {
  if (g_pipe[0] < 0) {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  }
  auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, mainWindow);
  QPointer<QWidget> window(mainWindow);
  QObject::connect(notifier, &QSocketNotifier::activated, mainWindow, [window]() {
    char buf[16];
    while (::read(g_pipe[0], buf, sizeof buf) > 0) {
    }
    if (window) window->close();
  });
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}
