#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace zenlar {
namespace qoblrun {

namespace {

std::atomic<int> g_stopSignal{0};
// Written from a signal handler: only a lock-free atomic is safe there.
static_assert(std::atomic<int>::is_always_lock_free, "the signal note must be lock-free");

// Writes a line on stderr from a signal handler (write() is safe there; stdio is not).
void say(const char* line) {
  size_t n = 0;
  while (line[n] != '\0') ++n;
  const ssize_t w = ::write(STDERR_FILENO, line, n);
  (void)w;   // nothing to do about a stderr that cannot be written
}

// Ends the process by the signal's default action, as if no handler had been installed (signal() and
// raise() may be called from a handler).
void endBy(int sig) {
  const int savedErrno = errno;
  ::signal(sig, SIG_DFL);
  ::raise(sig);   // blocked until the handler returns, then delivered with the default action
  errno = savedErrno;
}

// Before the runs: says that nothing was measured and ends the process.
extern "C" void onSignalBeforeRuns(int sig) {
  say(sig == SIGINT ? "\nqobl-run: interrupted by SIGINT before any run: nothing was measured\n"
                    : "\nqobl-run: interrupted by SIGTERM before any run: nothing was measured\n");
  endBy(sig);
}

// Notes the first signal and returns at once: the runner's threads see the note at their next submission.
// A signal after the first ends the process.
extern "C" void onStopSignal(int sig) {
  int none = 0;
  if (g_stopSignal.compare_exchange_strong(none, sig)) return;
  say(sig == SIGINT ? "\nqobl-run: SIGINT after a first signal: ending at once, without a summary\n"
                    : "\nqobl-run: SIGTERM after a first signal: ending at once, without a summary\n");
  endBy(sig);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
struct sigaction g_before[2];   // the actions when qobl-run started
bool g_saved = false;           // g_before holds them
bool g_ignored[2] = {false, false};

// Installs `handler` for SIGINT and SIGTERM, but for a signal that was ignored when qobl-run started: it
// stays ignored (a shell starts background commands so, to keep the terminal's Ctrl-C away from them).
void install(void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  // Interrupted system calls of the library and the card resume instead of failing with EINTR.
  sa.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) {
    if (!g_saved) {
      sigaction(kStopSignals[i], nullptr, &g_before[i]);
      g_ignored[i] = g_before[i].sa_handler == SIG_IGN;
    }
    if (!g_ignored[i]) sigaction(kStopSignals[i], &sa, nullptr);
  }
  g_saved = true;
}

}  // namespace

void catchSignalsBeforeRuns() { install(onSignalBeforeRuns); }

void catchStopSignals() {
  g_stopSignal = 0;
  install(onStopSignal);
}

int releaseStopSignals() {
  for (int i = 0; g_saved && i < 2; ++i) {
    if (!g_ignored[i]) sigaction(kStopSignals[i], &g_before[i], nullptr);
  }
  return g_stopSignal.load();
}

const std::atomic<int>& stopSignal() { return g_stopSignal; }

}  // namespace qoblrun
}  // namespace zenlar
