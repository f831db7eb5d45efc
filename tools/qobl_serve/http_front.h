// The HTTP/REST front end: the protocol's health, metadata, readiness and inference endpoints, /metrics,
// and (only when QOBL_SERVE_TEST_HOOKS=1 is in the environment at start-up) the test hooks that make the
// simulated card fail a run or slow down.
//
// Exposure limits: a body larger than maxRequestBytes is refused with 413 from its Content-Length (or, for
// a chunked body, as soon as it grows past the limit) without being buffered; every read waits at most
// readTimeoutMs; a request's head must arrive within headerTimeoutMs of its first byte (else 408) and hold
// at most maxHeaderBytes in at most maxHeaderFields header fields (else 431), and the connection is closed
// either way, counted in the metrics; a whole body must arrive within requestTimeoutMs and never stall for
// readTimeoutMs (else 408); a response must be taken by the client within responseTimeoutMs of its first
// byte (else the connection is reset, counted in the metrics); connections close after idleTimeoutS
// without a request.  At most `threads` connections are served at once, at most half of them (at least
// one) lingering for long after a refusal; a connection waiting for a request takes none of them.
#ifndef QOBL_SERVE_HTTP_FRONT_H
#define QOBL_SERVE_HTTP_FRONT_H

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "metrics.h"
#include "repository.h"

namespace zenlar {
namespace qoblserve {

class BoundedServer;

struct HttpConfig {
  std::string host = "127.0.0.1";
  int port = 8000;   // 0: any free port
  uint64_t maxRequestBytes = 64ull << 20;
  uint32_t readTimeoutMs = 5000;
  uint32_t headerTimeoutMs = 10000;
  uint32_t maxHeaderBytes = 65536;
  uint32_t maxHeaderFields = 100;
  uint32_t responseTimeoutMs = 60000;
  uint32_t requestTimeoutMs = 30000;
  uint32_t idleTimeoutS = 5;
  uint32_t threads = 16;
  bool testHooks = false;
};

extern const char* const kServerName;      // "qobl-serve"
extern const char* const kModelVersion;    // "1"
extern const char* const kModelPlatform;   // "qobl"

class HttpFront {
 public:
  // `repo` and `metrics` must outlive the front; connections dropped for a limit are counted in `metrics`.
  HttpFront(Repository& repo, Metrics& metrics, const HttpConfig& cfg);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds the listening socket; returns "" and the bound port, or what failed.
  std::string bind(int* port);
  // Serves on a thread of its own until stop().
  void start();
  // Stops accepting connections and waits for the requests being handled.
  void stop();

 private:
  void routes();
  Repository& repo_;
  Metrics& metrics_;
  HttpConfig cfg_;
  std::unique_ptr<BoundedServer> server_;
  std::thread thread_;
};

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_HTTP_FRONT_H
