#pragma once
#include <functional>

// SIGTERM, SIGINT and SIGHUP (a desktop session ending, Ctrl+C in a terminal)
// are taken over from the first moment of the program: each one calls the
// termination handler on the main thread, from the event loop (also from the
// nested loops of message boxes and the waits), with the signal's number and
// how many have arrived since the handler was set. A third signal that finds
// the main thread stuck ends the process the default way.
void WatchTerminationSignals();

// The handler that decides what a signal does; empty: nothing. Setting one
// starts the count anew.
void SetTerminationHandler(std::function<void(int sig, int count)> handler);

// Ends the process at once with the exit status a signal gives.
[[noreturn]] void ExitForSignal(int sig);
