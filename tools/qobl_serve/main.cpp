// qobl-serve: every model of a model repository on every card of the host, behind the Open Inference
// Protocol (HTTP/REST and gRPC), until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <qobcrt/qobcrt.h>
#include <qobm/qobm.h>
#include <qobcrt/qobcrt_sim.h>

#include "grpc_front.h"
#include "http_front.h"
#include "metrics.h"
#include "options.h"
#include "qobl_tools/library.h"
#include "repository.h"

using namespace zenlar::qoblserve;

namespace {

int failWith(int code, const std::string& msg) {
  std::fprintf(stderr, "qobl-serve: %s\n", msg.c_str());
  return code;
}

// Live card blocks and bytes over the used cards, every memory kind.
void cardMemory(uint32_t devices, uint64_t* blocks, uint64_t* bytes) {
  *blocks = *bytes = 0;
  for (uint32_t d = 0; d < devices; ++d) {
    qobcrt_sim_stats st{};
    if (qobcrt_sim_get_stats(d, &st) != 0) continue;
    for (int k : {QOBCRT_SIM_STREAM, QOBCRT_SIM_INOUT, QOBCRT_SIM_DDR_SHARE, QOBCRT_SIM_APP}) {
      *blocks += st.live_blocks[k];
      *bytes += st.live_bytes[k];
    }
  }
}

int serve(const Options& o) {
  // SIGTERM and SIGINT are taken by sigwait() below only: blocked here, before any thread starts, so every
  // thread inherits the mask.  A client that goes away must not kill the server.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zenlar::qobltools::installLogSink("qobl-serve");
  if (!o.logLevel.empty())
    qobmSetLogLevel(static_cast<uint32_t>(zenlar::qobltools::logLevelByName(o.logLevel)));
  else if (std::getenv("QOBM_LOG_LEVEL") == nullptr || std::getenv("QOBM_LOG_LEVEL")[0] == '\0')
    qobmSetLogLevel(qobmLL_ERROR);

  uint32_t cards = 0;
  if (qobcrt_get_device_count(&cards) != 0 || cards == 0) return failWith(kExitSetup, "no card found");
  ServeConfig sc = o.serve;
  sc.devices = o.devices == 0 ? cards : o.devices;
  if (sc.devices > cards)
    return failWith(kExitUsage, "--devices " + std::to_string(sc.devices) + ": the host has " + std::to_string(cards) +
                                    " card" + (cards == 1 ? "" : "s"));

  Metrics metrics(sc.devices);
  std::unique_ptr<Repository> repo;
  std::vector<std::string> skipped;
  const std::string err = Repository::open(o.repository, sc, &metrics, &repo, &skipped);
  for (const auto& s : skipped) std::fprintf(stderr, "qobl-serve: skipping %s\n", s.c_str());
  if (!err.empty()) return failWith(err.compare(0, 16, "model repository") == 0 ? kExitRepository : kExitSetup, err);
  for (const auto& name : repo->names()) {
    const ServedModel* m = repo->find(name);
    std::fprintf(stderr,
                 "qobl-serve: model %s (%s, batch %u) on %u card%s x %u instance%s, %u device run%s in flight each\n",
                 name.c_str(), m->dynamic() ? "dynamic" : "static", m->batch(), sc.devices,
                 sc.devices == 1 ? "" : "s", sc.instancesPerDevice, sc.instancesPerDevice == 1 ? "" : "s",
                 sc.inFlight, sc.inFlight == 1 ? "" : "s");
  }

  HttpConfig hc;
  hc.host = o.host;
  hc.port = o.httpPort;
  hc.maxRequestBytes = o.maxRequestBytes;
  hc.readTimeoutMs = o.readTimeoutMs;
  hc.headerTimeoutMs = o.headerTimeoutMs;
  hc.maxHeaderBytes = o.maxHeaderBytes;
  hc.maxHeaderFields = o.maxHeaderFields;
  hc.responseTimeoutMs = o.responseTimeoutMs;
  hc.requestTimeoutMs = o.requestTimeoutMs;
  hc.idleTimeoutS = o.idleTimeoutS;
  hc.threads = o.httpThreads;
  const char* hooks = std::getenv("QOBL_SERVE_TEST_HOOKS");
  hc.testHooks = hooks != nullptr && std::string(hooks) == "1";
  HttpFront http(*repo, metrics, hc);
  int httpPort = 0, grpcPort = 0;
  std::string why = http.bind(&httpPort);
  if (!why.empty()) return failWith(kExitSetup, why);

  GrpcConfig gc;
  gc.host = o.host;
  gc.port = o.grpcPort;
  gc.maxRequestBytes = o.maxRequestBytes;
  gc.threads = o.httpThreads;
  GrpcFront grpc(*repo, gc);
  why = grpc.start(&grpcPort);
  if (!why.empty()) return failWith(kExitSetup, why);
  http.start();
  if (hc.testHooks) std::fprintf(stderr, "qobl-serve: test hooks enabled (QOBL_SERVE_TEST_HOOKS=1)\n");
  std::printf("listening http=%d grpc=%d\n", httpPort, grpcPort);
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stopSignals, &sig);
  std::fprintf(stderr, "qobl-serve: %s: stopping\n", sig == SIGTERM ? "SIGTERM" : "SIGINT");
  // New requests are refused from here on; the front ends wait for the requests they are handling, which
  // the models finish; then every stream, pipeline and model is released on its card.
  repo->beginShutdown();
  std::thread grpcStop([&grpc] { grpc.stop(30000); });
  http.stop();
  grpcStop.join();
  repo->shutdown();
  repo.reset();
  uint64_t blocks = 0, bytes = 0;
  cardMemory(sc.devices, &blocks, &bytes);
  std::printf("stopped: card memory in use %llu bytes in %llu blocks\n", static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(blocks));
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string err;
  const bool parsed = parseOptions(argc, argv, &o, &err);
  const int end = zenlar::qobltools::commandLineEnd("qobl-serve", parsed, err, o.help, usageText(argv[0]), o.version);
  return end >= 0 ? end : serve(o);
}
