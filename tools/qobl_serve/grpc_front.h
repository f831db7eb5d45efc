// The gRPC front end: service inference.GRPCInferenceService (inference.proto) over the repository.
// Errors are gRPC statuses: INVALID_ARGUMENT (also for bytes that are not the method's request message,
// which gRPC itself would answer with INTERNAL), NOT_FOUND, RESOURCE_EXHAUSTED (a message larger than
// maxRequestBytes, refused by gRPC from its length prefix), UNAVAILABLE (a model's queue is full, the
// server is stopping), INTERNAL; messages longer than 1 KiB are cut.  Outputs are returned in
// raw_output_contents.  A ModelInfer call that is cancelled, passes its deadline or loses its connection
// stops waiting within 20 ms (a watcher thread asks gRPC about every waiting call that often; the calls
// themselves sleep); its items not yet on a card are dropped.
//
// ModelStreamInfer takes any number of requests on one stream and answers each, in the order sent, with
// its outputs or its error (the stream goes on); see Service::ModelStreamInfer().  An open stream holds a
// handler thread and a writer thread of its own; at most maxStreams are open at once, others are refused
// as UNAVAILABLE.  Stopping answers what every stream has read, then ends them.
#ifndef QOBL_SERVE_GRPC_FRONT_H
#define QOBL_SERVE_GRPC_FRONT_H

#include <cstdint>
#include <memory>
#include <string>

#include "repository.h"

namespace grpc {
class Server;
}

namespace zenlar {
namespace qoblserve {

struct GrpcConfig {
  std::string host = "127.0.0.1";
  int port = 8001;   // 0: any free port
  uint64_t maxRequestBytes = 64ull << 20;
  // Handler threads for calls being read or answered (a partly received message holds none); on top of
  // them one for each request the models' queues and cards can hold at once, kMaxHandlerThreads at most.
  uint32_t threads = 16;
  // Inference streams open at once; each holds a handler thread (on top of those above) while it is open.
  uint32_t maxStreams = 128;
};

constexpr uint64_t kMaxHandlerThreads = 4096;

class GrpcFront {
 public:
  GrpcFront(Repository& repo, const GrpcConfig& cfg);
  ~GrpcFront();
  GrpcFront(const GrpcFront&) = delete;
  GrpcFront& operator=(const GrpcFront&) = delete;

  // Binds and starts serving (gRPC's own threads).  Returns "" and the bound port, or what failed.
  std::string start(int* port);
  // Stops taking calls, lets those in flight finish (cancelling them after `graceMs`) and waits for them.
  // Inference streams answer the requests they have read and end without waiting for more.
  void stop(uint32_t graceMs);

 private:
  class Service;
  Repository& repo_;
  GrpcConfig cfg_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<grpc::Server> server_;
};

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_GRPC_FRONT_H
