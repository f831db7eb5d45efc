#include "interrupt.h"

#include <signal.h>

#include <cerrno>

namespace zenlar {
namespace qoblrun {

namespace {

std::atomic<int> g_stopSignal{0};
// Written from a signal handler: only a lock-free atomic is safe there.
static_assert(std::atomic<int>::is_always_lock_free, "the signal note must be lock-free");

// Notes the first signal and returns at once: the runner's threads see the note at their next submission.
// A signal after the first is given its default action and raised again, so that it ends the process as
// if no handler had been installed (signal() and raise() may be called from a handler).
extern "C" void onStopSignal(int sig) {
  int none = 0;
  if (g_stopSignal.compare_exchange_strong(none, sig)) return;
  const int savedErrno = errno;
  ::signal(sig, SIG_DFL);
  ::raise(sig);   // blocked until this handler returns, then delivered with the default action
  errno = savedErrno;
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
struct sigaction g_before[2];   // the actions catchStopSignals() replaced
bool g_ignored[2] = {false, false};

}  // namespace

void catchStopSignals() {
  g_stopSignal = 0;
  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  // Interrupted system calls of the library and the card resume instead of failing with EINTR.
  sa.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) {
    sigaction(kStopSignals[i], nullptr, &g_before[i]);
    // A signal ignored on start stays ignored: a shell starts background commands so, to keep the
    // terminal's Ctrl-C away from them.
    g_ignored[i] = g_before[i].sa_handler == SIG_IGN;
    if (!g_ignored[i]) sigaction(kStopSignals[i], &sa, nullptr);
  }
}

int releaseStopSignals() {
  for (int i = 0; i < 2; ++i) {
    if (!g_ignored[i]) sigaction(kStopSignals[i], &g_before[i], nullptr);
  }
  return g_stopSignal.load();
}

const std::atomic<int>& stopSignal() { return g_stopSignal; }

}  // namespace qoblrun
}  // namespace zenlar
