// Command line of qobl-serve: the model repository, where to listen, how to schedule the cards and the bounds
// of every connection.  Parsed with CLI11; `--opt value` and `--opt=value` both work, and a repeated option
// takes its last value.
#ifndef QOBL_SERVE_OPTIONS_H
#define QOBL_SERVE_OPTIONS_H

#include <cstdint>
#include <string>

#include "repository.h"

namespace zenlar {
namespace qoblserve {

// Deepest --in-flight: every device run in flight keeps a batch of inputs and outputs on the card for each
// instance, and a few runs already keep a card busy; deeper queues only hold card memory.
constexpr uint32_t kMaxInFlight = 1024;

// Exit codes of qobl-serve (also listed by --help).
enum ExitCode : int {
  kExitOk = 0,          // stopped by SIGTERM or SIGINT after finishing the requests in flight
  kExitUsage = 2,       // bad command line
  kExitRepository = 3,  // the model repository is missing or holds no model (incomplete ones are skipped)
  kExitSetup = 4,       // a card or the library refused to load a model, or a port could not be bound
};

struct Options {
  std::string repository;
  std::string host = "127.0.0.1";
  int httpPort = 8000;               // 0: pick a free port
  int grpcPort = 8001;
  uint32_t devices = 0;              // 0: every card of the host
  ServeConfig serve;                 // instances, runs in flight, queue delay and capacity, shapes
  std::string logLevel;              // empty: ERROR unless QOBM_LOG_LEVEL says otherwise
  uint64_t maxRequestBytes = 64ull << 20;
  uint32_t readTimeoutMs = 5000;     // longest silence while a request is read
  uint32_t headerTimeoutMs = 10000;  // longest time to receive an HTTP request's head from its first byte
  uint32_t maxHeaderBytes = 65536;   // largest HTTP request head (request line and header lines)
  uint32_t maxHeaderFields = 100;    // most header lines of one HTTP request
  uint32_t responseTimeoutMs = 60000;  // longest time to send one HTTP response from its first byte
  uint32_t requestTimeoutMs = 30000; // longest time to receive one whole request body
  uint32_t idleTimeoutS = 5;         // a kept-alive connection without a new request is closed
  uint32_t httpThreads = 16;         // HTTP connections served at once
  bool help = false;
  bool version = false;
};

// Parses argv.  On a bad command line returns false and puts the reason in *error.  With --help or --version
// the other options are not checked against each other and --model-repository may be left out.
bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error);

// The --help text, with argv0 as the program's name in the usage line.
std::string usageText(const char* argv0);

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_OPTIONS_H
