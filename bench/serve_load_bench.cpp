// Load benchmark of qobl-serve beside qobl-run, in one run, on the loopback interface only.
//
// Starts qobl-serve on free ports with one demo model, sends N inference requests (binary tensor data,
// each output checked against expected_output.bin) from K concurrent HTTP clients with kept-alive
// connections, and reports throughput, p50/p99 latency, errors and the dynamic-batching fill ratio from
// /metrics.  Then runs qobl-run on the same model and cards with the same number of items and prints the
// ratio of the two throughputs.  Bounded: at most N requests and at most --seconds of sending.
//
//   bench_serve_load [--model NAME] [--clients K] [--requests N] [--items I] [--delay-us U]
//                    [--instances J] [--seconds S] [--devices C]
// BENCH_DUMP_METRICS=1 in the environment prints the server's /metrics text after the load on stderr.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "bench_files.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string model = "classifier";
  int clients = 8, requests = 4000, items = 1, delayUs = 200, instances = 1, seconds = 60, devices = 1;
};

// A child process with its stdout on a pipe.
struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

Child spawn(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe(fds) != 0) return Child();
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  c.out = fdopen(fds[0], "r");
  return c;
}

std::string readLine(FILE* f) {
  char buf[4096];
  return std::fgets(buf, sizeof buf, f) != nullptr ? std::string(buf) : std::string();
}

double metric(const std::string& text, const std::string& name) {
  const size_t at = text.find("\n" + name + " ");
  return at == std::string::npos ? 0 : std::atof(text.c_str() + at + name.size() + 2);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--model") o.model = v;
    else if (a == "--clients") o.clients = std::max(1, std::atoi(v));
    else if (a == "--requests") o.requests = std::max(1, std::atoi(v));
    else if (a == "--items") o.items = std::max(1, std::atoi(v));
    else if (a == "--delay-us") o.delayUs = std::max(0, std::atoi(v));
    else if (a == "--instances") o.instances = std::max(1, std::atoi(v));
    else if (a == "--seconds") o.seconds = std::max(1, std::atoi(v));
    else if (a == "--devices") o.devices = std::min(16, std::max(1, std::atoi(v)));
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  const std::string bin = qoblbench::buildDir() + "/bin", modelDir = qoblbench::buildDir() + "/models/" + o.model;
  const std::string in = qoblbench::readBytes(modelDir + "/sample_input.bin");
  const std::string expected = qoblbench::readBytes(modelDir + "/expected_output.bin");
  if (in.empty() || expected.empty()) {
    std::fprintf(stderr, "no sample of model %s under %s\n", o.model.c_str(), modelDir.c_str());
    return 2;
  }
  char tmpl[] = "/tmp/qobl_serve_bench_XXXXXX";
  const std::string repo = mkdtemp(tmpl);
  if (symlink(modelDir.c_str(), (repo + "/" + o.model).c_str()) != 0) return 2;

  setenv("QOBCRT_DEVICE_COUNT", std::to_string(o.devices).c_str(), 1);
  Child server = spawn({bin + "/qobl-serve", "--model-repository", repo, "--http-port", "0", "--grpc-port", "0",
                        "--devices", std::to_string(o.devices),
                        "--max-queue-delay-us", std::to_string(o.delayUs), "--instances-per-device",
                        std::to_string(o.instances), "--http-threads", std::to_string(o.clients + 2),
                        "--max-queue-size", std::to_string(std::max(256, o.clients * o.items * 2))});
  const std::string line = readLine(server.out);
  int port = 0;
  if (std::sscanf(line.c_str(), "listening http=%d", &port) != 1) {
    std::fprintf(stderr, "qobl-serve did not start: %s\n", line.c_str());
    return 1;
  }

  // One request: `items` copies of the sample as binary tensor data, every output as binary data.
  std::string shape = "[" + std::to_string(o.items);
  {
    httplib::Client c("127.0.0.1", port);
    auto meta = c.Get(("/v2/models/" + o.model).c_str());
    const std::string text = meta ? meta->body : "";
    const size_t s = text.find("\"shape\":[-1");
    const size_t e = text.find(']', s);
    if (s == std::string::npos) {
      std::fprintf(stderr, "no metadata for %s\n", o.model.c_str());
      return 1;
    }
    shape += text.substr(s + 11, e - s - 11) + "]";
  }
  std::string tensor;
  for (int k = 0; k < o.items; ++k) tensor += in;
  std::string want;
  for (int k = 0; k < o.items; ++k) want += expected;
  const std::string header = "{\"inputs\":[{\"name\":\"data\",\"datatype\":\"FP32\",\"shape\":" + shape +
                             ",\"parameters\":{\"binary_data_size\":" + std::to_string(tensor.size()) +
                             "}}],\"parameters\":{\"binary_data_output\":true}}";
  const std::string body = header + tensor;
  const std::string path = "/v2/models/" + o.model + "/infer";
  const httplib::Headers headers = {{"Inference-Header-Content-Length", std::to_string(header.size())}};

  const auto send = [&](httplib::Client& c) {
    auto r = c.Post(path.c_str(), headers, body, "application/octet-stream");
    if (!r || r->status != 200) return false;
    const size_t hl = std::strtoull(r->get_header_value("Inference-Header-Content-Length").c_str(), nullptr, 10);
    return r->body.size() == hl + want.size() && r->body.compare(hl, want.size(), want) == 0;
  };
  {
    httplib::Client warm("127.0.0.1", port);
    for (int i = 0; i < 20; ++i) send(warm);
  }
  httplib::Client probe("127.0.0.1", port);
  auto m0 = probe.Get("/metrics");
  const std::string label = "{model=\"" + o.model + "\"}";
  const double items0 = metric(m0->body, "qobl_device_run_items_total" + label),
               cap0 = metric(m0->body, "qobl_device_run_capacity_total" + label),
               runs0 = metric(m0->body, "qobl_device_runs_total" + label);

  std::atomic<int> next{0}, errors{0};
  std::mutex mu;
  std::vector<double> latUs;
  const Clock::time_point start = Clock::now(), stopAt = start + std::chrono::seconds(o.seconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < o.clients; ++t) {
    threads.emplace_back([&] {
      httplib::Client c("127.0.0.1", port);
      c.set_keep_alive(true);
      c.set_tcp_nodelay(true);
      std::vector<double> mine;
      while (next++ < o.requests && Clock::now() < stopAt) {
        const Clock::time_point t0 = Clock::now();
        if (!send(c)) ++errors;
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
      std::lock_guard<std::mutex> g(mu);
      latUs.insert(latUs.end(), mine.begin(), mine.end());
    });
  }
  for (auto& t : threads) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  auto m1 = probe.Get("/metrics");
  const double runs = metric(m1->body, "qobl_device_runs_total" + label) - runs0;
  const double fill = (metric(m1->body, "qobl_device_run_items_total" + label) - items0) /
                      std::max(1.0, metric(m1->body, "qobl_device_run_capacity_total" + label) - cap0);

  if (std::getenv("BENCH_DUMP_METRICS") != nullptr) std::fputs(m1->body.c_str(), stderr);
  kill(server.pid, SIGTERM);
  const std::string stopped = readLine(server.out);
  int status = 0;
  waitpid(server.pid, &status, 0);
  fclose(server.out);
  std::system(("rm -rf " + repo).c_str());

  const double served = static_cast<double>(latUs.size());
  const double serverRate = served * o.items / secs;

  // qobl-run on the same model and cards, as many items, one stream per client thread up to 4 per card.
  const int streams = std::min(o.clients, 4 * o.devices);
  setenv("QOBM_LOG_LEVEL", "ERROR", 1);
  Child run = spawn({bin + "/qobl-run", "--model", modelDir, "--devices", std::to_string(o.devices), "--streams",
                     std::to_string(streams), "--runs",
                     std::to_string(static_cast<long>(served) * o.items)});
  double runRate = 0;
  for (std::string l; !(l = readLine(run.out)).empty();) {
    if (l.find("| inferences/s") == 0) runRate = std::atof(l.c_str() + l.find('|', 1) + 1);
  }
  waitpid(run.pid, &status, 0);
  fclose(run.out);

  std::printf("qobl-serve load, model %s, %d card(s) x %d instance(s), max queue delay %d us\n", o.model.c_str(),
              o.devices, o.instances, o.delayUs);
  std::printf("  %d clients, %.0f requests of %d item(s) in %.2f s, %d errors\n", o.clients, served, o.items, secs,
              errors.load());
  std::printf("  throughput           %.1f items/s (%.1f requests/s)\n", serverRate, served / secs);
  std::printf("  latency p50 / p99    %.1f / %.1f us\n", percentile(latUs, 0.50), percentile(latUs, 0.99));
  std::printf("  device runs          %.0f, fill ratio %.3f\n", runs, fill);
  std::printf("  server stop          %s", stopped.empty() ? "(no line)\n" : stopped.c_str());
  std::printf("qobl-run, same model and card(s), %d stream(s): %.1f inferences/s\n", streams, runRate);
  std::printf("ratio qobl-serve / qobl-run throughput: %.3f\n", runRate > 0 ? serverRate / runRate : 0.0);
  return errors.load() == 0 && runRate > 0 ? 0 : 1;
}
