// qobl-run as a whole: its command line parsed, the model loaded, the runs made and reported.  main() is
// only a call of qoblRunMain(), so that a test program can run qobl-run with a card it has set up itself.
#ifndef QOBL_RUN_PROGRAM_H
#define QOBL_RUN_PROGRAM_H

namespace zenlar {
namespace qoblrun {

// Does what the qobl-run command does with argv and returns its exit code (options.h lists them).  Prints
// to stdout and stderr, and handles SIGINT and SIGTERM while the runs are made (interrupt.h).  Call it once
// per process.
int qoblRunMain(int argc, char** argv);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_PROGRAM_H
