// SIGINT (Ctrl-C) and SIGTERM while qobl-run runs: the first one only notes which signal arrived, and the
// runner's loops read the note (they stop submitting new device runs and let the ones in flight complete,
// so that the summary and the output files cover what was measured); a second one ends the process at once
// by the signal's default action, saying so on stderr.  Before the runs (while the model loads) the first
// one does, saying that nothing was measured.
#ifndef QOBL_RUN_INTERRUPT_H
#define QOBL_RUN_INTERRUPT_H

#include <atomic>

namespace zenlar {
namespace qoblrun {

// From the start of qobl-run until catchStopSignals(): SIGINT or SIGTERM (unless ignored) prints on stderr
// that qobl-run was interrupted before any run and nothing was measured, and ends the process by the
// signal's default action at once (what qobl-run holds is the process's own: nothing to wait for).
void catchSignalsBeforeRuns();

// Installs qobl-run's handlers of SIGINT and SIGTERM (either one that was ignored stays ignored) and clears
// the note.  Until releaseStopSignals(), the first of those signals is noted in stopSignal() and nothing
// else happens; a later one (of either kind) takes its default action.  Not thread-safe: call it, and
// releaseStopSignals(), from one thread.
void catchStopSignals();

// Puts back the actions SIGINT and SIGTERM had when qobl-run started (by default: ending the process) and
// returns the signal noted since catchStopSignals() (0 when none arrived).
int releaseStopSignals();

// The note the handlers write: the first signal's number, 0 until one arrived.  Read from any thread.
const std::atomic<int>& stopSignal();

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_INTERRUPT_H
