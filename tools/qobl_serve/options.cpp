#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "qobl_tools/library.h"

namespace zenlar {
namespace qoblserve {

namespace {

bool parseNumber(const std::string& name, const char* text, uint64_t lo, uint64_t hi, uint64_t* out,
                 std::string* error) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || v < lo || v > hi) {
    std::ostringstream os;
    os << name << " expects a whole number from " << lo << " to " << hi << ", got \"" << text << "\"";
    *error = os.str();
    return false;
  }
  *out = v;
  return true;
}

template <typename T>
bool parseInto(const std::string& name, const char* text, uint64_t lo, uint64_t hi, T* out, std::string* error) {
  uint64_t v = 0;
  if (!parseNumber(name, text, lo, hi, &v, error)) return false;
  *out = static_cast<T>(v);
  return true;
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = nullptr;
    if (a == "--help" || a == "-h") {
      o.help = true;
      continue;
    }
    if (a.compare(0, 2, "--") != 0) {
      *error = "unexpected argument \"" + a + "\" (see --help)";
      return false;
    }
    if (i + 1 >= argc) {
      *error = a + " needs a value";
      return false;
    }
    v = argv[++i];
    bool ok = true;
    if (a == "--model-repository") {
      o.repository = v;
      ok = !o.repository.empty() || (*error = "--model-repository needs a directory", false);
    } else if (a == "--host") {
      o.host = v;
      ok = !o.host.empty() || (*error = "--host needs an address", false);
    } else if (a == "--http-port") {
      ok = parseInto(a, v, 0, 65535, &o.httpPort, error);
    } else if (a == "--grpc-port") {
      ok = parseInto(a, v, 0, 65535, &o.grpcPort, error);
    } else if (a == "--devices") {
      ok = parseInto(a, v, 1, 16, &o.devices, error);
    } else if (a == "--instances-per-device") {
      ok = parseInto(a, v, 1, 16, &o.serve.instancesPerDevice, error);
    } else if (a == "--in-flight") {
      ok = parseInto(a, v, 1, kMaxInFlight, &o.serve.inFlight, error);
    } else if (a == "--max-queue-delay-us") {
      ok = parseInto(a, v, 0, 10000000, &o.serve.maxQueueDelayUs, error);
    } else if (a == "--max-queue-size") {
      ok = parseInto(a, v, 1, 1u << 20, &o.serve.queueCapacity, error);
    } else if (a == "--max-shapes") {
      ok = parseInto(a, v, 1, 64, &o.serve.maxShapes, error);
    } else if (a == "--max-request-bytes") {
      ok = parseInto(a, v, 1024, 1ull << 32, &o.maxRequestBytes, error);
    } else if (a == "--read-timeout-ms") {
      ok = parseInto(a, v, 10, 600000, &o.readTimeoutMs, error);
    } else if (a == "--header-timeout-ms") {
      ok = parseInto(a, v, 10, 600000, &o.headerTimeoutMs, error);
    } else if (a == "--max-header-bytes") {
      ok = parseInto(a, v, 1024, 16u << 20, &o.maxHeaderBytes, error);
    } else if (a == "--max-header-fields") {
      ok = parseInto(a, v, 1, 10000, &o.maxHeaderFields, error);
    } else if (a == "--response-timeout-ms") {
      ok = parseInto(a, v, 10, 3600000, &o.responseTimeoutMs, error);
    } else if (a == "--request-timeout-ms") {
      ok = parseInto(a, v, 10, 3600000, &o.requestTimeoutMs, error);
    } else if (a == "--idle-timeout-s") {
      ok = parseInto(a, v, 1, 3600, &o.idleTimeoutS, error);
    } else if (a == "--http-threads") {
      ok = parseInto(a, v, 1, 1024, &o.httpThreads, error);
    } else if (a == "--log-level") {
      o.logLevel = v;
      if (qobltools::logLevelByName(o.logLevel) < 0) {
        *error = "--log-level expects TRACE, DEBUG, INFO, WARN, ERROR, ALARM or FATAL, got \"" + o.logLevel + "\"";
        ok = false;
      }
    } else {
      *error = "unknown option " + a + " (see --help)";
      ok = false;
    }
    if (!ok) return false;
  }
  if (!o.help && o.repository.empty()) {
    *error = "--model-repository DIR is required (see --help)";
    return false;
  }
  if (!o.help && o.httpPort != 0 && o.httpPort == o.grpcPort) {
    *error = "--http-port and --grpc-port must differ";
    return false;
  }
  *out = o;
  return true;
}

std::string usageText(const char* argv0) {
  std::ostringstream os;
  os << "Usage: " << argv0 << " --model-repository DIR [options]\n"
     << "\n"
        "Serves every model under DIR on every card of the host over the Open Inference Protocol (KServe v2):\n"
        "HTTP/REST (JSON and the binary tensor data extension) and gRPC (inference.GRPCInferenceService).\n"
        "Each subdirectory of DIR holding a model directory or a dynamic-shape suite is a model named after\n"
        "the subdirectory.  Once every model is loaded, prints \"listening http=PORT grpc=PORT\" on stdout.\n"
        "\n"
        "Options:\n"
        "  --model-repository DIR     the models to serve (required)\n"
        "  --host ADDR                address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)\n"
        "  --http-port N              HTTP/REST port (default 8000; 0 picks a free port)\n"
        "  --grpc-port N              gRPC port (default 8001; 0 picks a free port)\n"
        "  --devices N                use cards 0..N-1 (default: every card of the host)\n"
        "  --instances-per-device K   streams per model and card (default 1)\n"
        "  --in-flight N              device runs each instance keeps in flight (1 to 1024, default 2): 1 for\n"
        "                             the lowest latency, more for throughput.  Each keeps the inputs and\n"
        "                             outputs of a batch of items on the card, for every instance of every\n"
        "                             model; a depth the card's memory cannot hold stops the start-up (exit 4)\n"
        "  --max-queue-delay-us U     longest wait for a device run to fill with items of concurrent\n"
        "                             requests (default 200; 0 sends what is waiting at once)\n"
        "  --max-queue-size N         items waiting per model; beyond it requests are refused with 503 /\n"
        "                             UNAVAILABLE (default 256)\n"
        "  --max-shapes N             input shapes served at once per dynamic model (default 4)\n"
        "  --max-request-bytes N      largest request body; larger ones are refused with 413 /\n"
        "                             RESOURCE_EXHAUSTED before they are read (default 67108864)\n"
        "  --read-timeout-ms N        longest silence while a request is read (default 5000)\n"
        "  --header-timeout-ms N      longest time to receive an HTTP request's line and headers, from its\n"
        "                             first byte; then 408 and the connection is closed (default 10000)\n"
        "  --max-header-bytes N       largest HTTP request line and headers together; larger ones get 431\n"
        "                             (414 for a request line alone) and the connection is closed\n"
        "                             (default 65536)\n"
        "  --max-header-fields N      most header fields of an HTTP request; more get 431 and the connection\n"
        "                             is closed (default 100)\n"
        "  --request-timeout-ms N     longest time to receive one HTTP request body (default 30000)\n"
        "  --response-timeout-ms N    longest time to send one HTTP response, from its first byte; then the\n"
        "                             connection is reset (default 60000)\n"
        "  --idle-timeout-s N         an HTTP connection without a new request (its first or the next on a\n"
        "                             kept-alive connection) is closed after N s (default 5)\n"
        "  --http-threads N           HTTP connections served at once (default 16)\n"
        "  --log-level L              library log level: TRACE, DEBUG, INFO, WARN, ERROR, ALARM, FATAL\n"
        "                             (default ERROR, or QOBM_LOG_LEVEL)\n"
        "  --help                     this text\n"
        "\n"
        "An HTTP request refused before it was read whole (413, 404 for an unknown model, 408, 414, 431; 400 or\n"
        "501 for a head or body framing a proxy could read differently: Content-Length with Transfer-Encoding,\n"
        "two lengths, bare-LF line ends, whitespace before a header's colon, a request line other than\n"
        "\"METHOD TARGET HTTP/d.d\" with single spaces, an HTTP/1.1 request without exactly one Host, a\n"
        "control byte in a header value, a malformed chunked body, an unknown method; 505 for a major version\n"
        "other than 1) is answered and its connection closed; the server first reads and drops what the\n"
        "client still sends, until the client closes, is silent for 1 s (or --read-timeout-ms if shorter) or 3 s\n"
        "have passed (past 0.2 s only while fewer than half the --http-threads workers linger so).\n"
        "\n"
        "Endpoints (HTTP): GET /v2/health/live, /v2/health/ready, /v2, /v2/models/NAME[/versions/V],\n"
        "/v2/models/NAME[/versions/V]/ready, /metrics (Prometheus text); POST /v2/models/NAME[/versions/V]/infer.\n"
        "Every model has the one version \"1\".\n"
        "\n"
        "SIGTERM or SIGINT stops taking requests, finishes the ones in flight, releases every card block and\n"
        "exits 0.\n"
        "\n"
        "Exit codes: 0 stopped by a signal, 2 bad command line, 3 model repository missing or holding no model\n"
        "(a subdirectory that is no complete model is skipped with a line on stderr), 4 a card or the library\n"
        "refused a model, or a port could not be bound.\n";
  return os.str();
}

}  // namespace qoblserve
}  // namespace zenlar
