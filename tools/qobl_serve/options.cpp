#include "options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>

#include "qobl_tools/cli.h"
#include "qobl_tools/library.h"

namespace zenlar {
namespace qoblserve {

namespace {

const char* const kDescription =
    "Serves every model under DIR on every card of the host over the Open Inference Protocol (KServe v2):\n"
    "HTTP/REST (JSON and the binary tensor data extension) and gRPC (inference.GRPCInferenceService).\n"
    "Each subdirectory of DIR holding a model directory or a dynamic-shape suite is a model named after\n"
    "the subdirectory.  Once every model is loaded, prints \"listening http=PORT grpc=PORT\" on stdout.";

const char* const kFooter =
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
    "refused a model, or a port could not be bound.";

// The help reads as the manual page is laid out (help2man makes one from it): the usage line naming the one
// required option, what the server does, the options with their value names only (each description states
// its range and default), then the notes.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    return "Usage: " + name + " --model-repository DIR [options]\n\n" + app->get_description() + "\n" +
           make_groups(app, mode) + "\n" + make_footer(app);
  }
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_type_size() == 0 ? std::string() : " " + opt->get_type_name();
  }
};

CLI::Validator nonEmpty(const std::string& what) {
  return CLI::Validator([what](std::string& text) { return text.empty() ? "needs " + what : std::string(); }, "");
}

void define(CLI::App& app, Options& o) {
  app.description(kDescription);
  app.footer(kFooter);
  app.formatter(std::make_shared<HelpFormatter>());
  app.get_formatter()->column_width(29);
  // A repeated option takes its last value, so that a script can append overrides to a stock command line.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  auto number = [&app](const char* name, auto& field, uint64_t lo, uint64_t hi, const char* valueName,
                       const char* help) {
    app.add_option(name, field, help)->type_name(valueName)->transform(qobltools::wholeNumber(lo, hi));
  };
  app.add_option("--model-repository", o.repository, "the models to serve (required)")
      ->type_name("DIR")
      ->check(nonEmpty("a directory"));
  app.add_option("--host", o.host, "address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)")
      ->type_name("ADDR")
      ->check(nonEmpty("an address"));
  number("--http-port", o.httpPort, 0, 65535, "N", "HTTP/REST port (default 8000; 0 picks a free port)");
  number("--grpc-port", o.grpcPort, 0, 65535, "N", "gRPC port (default 8001; 0 picks a free port)");
  number("--devices", o.devices, 1, 16, "N", "use cards 0..N-1 (default: every card of the host)");
  number("--instances-per-device", o.serve.instancesPerDevice, 1, 16, "K", "streams per model and card (default 1)");
  number("--in-flight", o.serve.inFlight, 1, kMaxInFlight, "N",
         "device runs each instance keeps in flight (1 to 1024, default 2): 1 for\n"
         "the lowest latency, more for throughput.  Each keeps the inputs and\n"
         "outputs of a batch of items on the card, for every instance of every\n"
         "model; a depth the card's memory cannot hold stops the start-up (exit 4)");
  number("--max-queue-delay-us", o.serve.maxQueueDelayUs, 0, 10000000, "U",
         "longest wait for a device run to fill with items of concurrent\n"
         "requests (default 200; 0 sends what is waiting at once)");
  number("--max-queue-size", o.serve.queueCapacity, 1, 1u << 20, "N",
         "items waiting per model; beyond it requests are refused with 503 /\n"
         "UNAVAILABLE (default 256)");
  number("--max-shapes", o.serve.maxShapes, 1, 64, "N", "input shapes served at once per dynamic model (default 4)");
  number("--max-request-bytes", o.maxRequestBytes, 1024, 1ull << 32, "N",
         "largest request body; larger ones are refused with 413 /\n"
         "RESOURCE_EXHAUSTED before they are read (default 67108864)");
  number("--read-timeout-ms", o.readTimeoutMs, 10, 600000, "N", "longest silence while a request is read (default 5000)");
  number("--header-timeout-ms", o.headerTimeoutMs, 10, 600000, "N",
         "longest time to receive an HTTP request's line and headers, from its\n"
         "first byte; then 408 and the connection is closed (default 10000)");
  number("--max-header-bytes", o.maxHeaderBytes, 1024, 16u << 20, "N",
         "largest HTTP request line and headers together; larger ones get 431\n"
         "(414 for a request line alone) and the connection is closed\n"
         "(default 65536)");
  number("--max-header-fields", o.maxHeaderFields, 1, 10000, "N",
         "most header fields of an HTTP request; more get 431 and the connection\n"
         "is closed (default 100)");
  number("--request-timeout-ms", o.requestTimeoutMs, 10, 3600000, "N",
         "longest time to receive one HTTP request body (default 30000)");
  number("--response-timeout-ms", o.responseTimeoutMs, 10, 3600000, "N",
         "longest time to send one HTTP response, from its first byte; then the\n"
         "connection is reset (default 60000)");
  number("--idle-timeout-s", o.idleTimeoutS, 1, 3600, "N",
         "an HTTP connection without a new request (its first or the next on a\n"
         "kept-alive connection) is closed after N s (default 5)");
  number("--http-threads", o.httpThreads, 1, 1024, "N",
         "HTTP requests handled at once (default 16); connections waiting for a request hold none");
  app.add_option("--log-level", o.logLevel,
                 "library log level: TRACE, DEBUG, INFO, WARN, ERROR, ALARM, FATAL\n"
                 "(default ERROR, or QOBM_LOG_LEVEL)")
      ->type_name("L")
      ->check([](const std::string& v) {
        return qobltools::logLevelByName(v) >= 0
                   ? std::string()
                   : "expects TRACE, DEBUG, INFO, WARN, ERROR, ALARM or FATAL, got \"" + v + "\"";
      });
  app.add_flag("--version", o.version, "print the version of qobl-serve and of the library, and exit");
  app.set_help_flag("-h,--help", "this text");   // re-added here to come last, after --version
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error) {
  Options o;
  CLI::App app("", "qobl-serve");
  define(app, o);
  if (!qobltools::parseCommandLine(app, argc, argv, &out->help, error)) return false;
  if (out->help) return true;
  if (o.version) {
    *out = o;
    return true;
  }
  if (o.repository.empty()) {
    *error = "--model-repository DIR is required";
    return false;
  }
  if (o.httpPort != 0 && o.httpPort == o.grpcPort) {
    *error = "--http-port and --grpc-port must differ";
    return false;
  }
  *out = o;
  return true;
}

std::string usageText(const char* argv0) {
  Options o;
  CLI::App app("", argv0 != nullptr ? argv0 : "qobl-serve");
  define(app, o);
  return app.help();
}

}  // namespace qoblserve
}  // namespace zenlar
