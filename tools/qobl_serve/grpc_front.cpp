#include "grpc_front.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/rpc_service_method.h>
#include <grpcpp/resource_quota.h>
#include <grpcpp/support/method_handler.h>
#include <grpcpp/support/proto_buffer_reader.h>

#include "http_front.h"
#include "inference.grpc.pb.h"
#include "qobl_api.h"

namespace zenlar {
namespace qoblserve {

// A request message as gRPC hands it to a handler of ours.  Left to itself, gRPC answers bytes that do not
// parse as the method's request message with INTERNAL and an empty message, as if the server had failed;
// parsed as a Parsed<M> (see the SerializationTraits below), they get INVALID_ARGUMENT naming the message
// the method takes.
template <class M>
struct Parsed {
  M msg;
};

}  // namespace qoblserve
}  // namespace zenlar

namespace grpc {

template <class M>
class SerializationTraits<zenlar::qoblserve::Parsed<M>, void> {
 public:
  static Status Deserialize(ByteBuffer* buffer, zenlar::qoblserve::Parsed<M>* parsed) {
    const Status s = GenericDeserialize<ProtoBufferReader, M>(buffer, &parsed->msg);
    if (s.ok()) return s;
    std::string why = "the request is not a valid " + M::descriptor()->full_name() + " message";
    if (!s.error_message().empty()) why += ": " + s.error_message();
    return Status(StatusCode::INVALID_ARGUMENT, why);
  }
};

}  // namespace grpc

namespace zenlar {
namespace qoblserve {

namespace {

// The longest error message sent.  A status message travels in the call's trailing metadata, which
// clients bound (gRPC's default: 8 KiB for all of it); a message echoing a long name from the request would
// otherwise reach the client as a metadata error instead of the status it was.
constexpr size_t kMaxStatusMessage = 1024;

std::string boundedMessage(const std::string& m) {
  if (m.size() <= kMaxStatusMessage) return m;
  size_t cut = kMaxStatusMessage - 64;
  while (cut > 0 && (static_cast<unsigned char>(m[cut]) & 0xC0) == 0x80) --cut;   // not inside a UTF-8 character
  return m.substr(0, cut) + "... (message cut, " + std::to_string(m.size()) + " bytes in all)";
}

grpc::Status toStatus(const Error& e) {
  grpc::StatusCode code = grpc::StatusCode::INTERNAL;
  switch (e.kind) {
    case ErrorKind::kNone:
      return grpc::Status::OK;
    case ErrorKind::kInvalidArgument:
      code = grpc::StatusCode::INVALID_ARGUMENT;
      break;
    case ErrorKind::kNotFound:
      code = grpc::StatusCode::NOT_FOUND;
      break;
    case ErrorKind::kResourceExhausted:
      code = grpc::StatusCode::RESOURCE_EXHAUSTED;
      break;
    case ErrorKind::kUnavailable:
      code = grpc::StatusCode::UNAVAILABLE;
      break;
    case ErrorKind::kInternal:
      code = grpc::StatusCode::INTERNAL;
      break;
    case ErrorKind::kCancelled:
      code = grpc::StatusCode::CANCELLED;
      break;
  }
  return grpc::Status(code, boundedMessage(e.message));
}

Error bad(std::string m) { return makeError(ErrorKind::kInvalidArgument, std::move(m)); }

template <typename T, typename Src>
void pack(const Src& values, std::vector<uint8_t>* out) {
  out->resize(static_cast<size_t>(values.size()) * sizeof(T));
  uint8_t* p = out->data();
  for (const auto& v : values) {
    const T t = static_cast<T>(v);
    std::memcpy(p, &t, sizeof t);
    p += sizeof t;
  }
}

template <typename Src>
bool inRange(const Src& values, int64_t lo, int64_t hi) {
  for (const auto& v : values) {
    if (static_cast<int64_t>(v) < lo || static_cast<int64_t>(v) > hi) return false;
  }
  return true;
}

// The typed-contents field that carries values of datatype `d`, "" when none does (FP16, BF16).
const char* contentsField(DType d) {
  if (d == DType{1, 1, 1}) return "bool_contents";
  if (d == DType{2, 32, 1}) return "fp32_contents";
  if (d == DType{2, 64, 1}) return "fp64_contents";
  if (d == DType{0, 64, 1}) return "int64_contents";
  if (d == DType{1, 64, 1}) return "uint64_contents";
  if (d.code == 0 && d.bits <= 32) return "int_contents";
  if (d.code == 1 && d.bits <= 32) return "uint_contents";
  return "";
}

// Decodes typed contents of input `t` (datatype and shape already known) into t->owned.  The values must
// be in the datatype's field, as many as the shape holds, and no other field may hold any; nothing is
// allocated before that is known.
Error decodeContents(const inference::InferTensorContents& c, int64_t count, InputTensor* t) {
  const DType d = t->dtype;
  const std::string at = "input \"" + t->name + "\": ";
  const std::string field = contentsField(d);
  if (field.empty()) return bad(at + t->datatype + " has no typed contents: send it in raw_input_contents");
  const std::pair<const char*, int> sizes[] = {
      {"bool_contents", c.bool_contents_size()},     {"int_contents", c.int_contents_size()},
      {"int64_contents", c.int64_contents_size()},   {"uint_contents", c.uint_contents_size()},
      {"uint64_contents", c.uint64_contents_size()}, {"fp32_contents", c.fp32_contents_size()},
      {"fp64_contents", c.fp64_contents_size()},     {"bytes_contents", c.bytes_contents_size()}};
  int64_t given = 0;
  for (const auto& f : sizes) {
    if (field == f.first) {
      given = f.second;
    } else if (f.second != 0) {
      return bad(at + t->datatype + " values go in " + field + ", the contents hold " + std::to_string(f.second) +
                 " in " + f.first);
    }
  }
  if (given != count)
    return bad(at + "shape " + shapeText(t->shape) + " holds " + std::to_string(count) + " elements, the contents " +
               std::to_string(given) + " (" + field + ")");
  bool range = true;
  if (d == DType{1, 1, 1}) {
    pack<uint8_t>(c.bool_contents(), &t->owned);
  } else if (d == DType{2, 32, 1}) {
    pack<float>(c.fp32_contents(), &t->owned);
  } else if (d == DType{2, 64, 1}) {
    pack<double>(c.fp64_contents(), &t->owned);
  } else if (d == DType{0, 64, 1}) {
    pack<int64_t>(c.int64_contents(), &t->owned);
  } else if (d == DType{1, 64, 1}) {
    pack<uint64_t>(c.uint64_contents(), &t->owned);
  } else if (d.code == 0) {
    const int64_t hi = (int64_t{1} << (d.bits - 1)) - 1;
    if ((range = inRange(c.int_contents(), -hi - 1, hi))) {
      if (d.bits == 8) pack<int8_t>(c.int_contents(), &t->owned);
      if (d.bits == 16) pack<int16_t>(c.int_contents(), &t->owned);
      if (d.bits == 32) pack<int32_t>(c.int_contents(), &t->owned);
    }
  } else {
    const int64_t hi = d.bits == 32 ? int64_t{UINT32_MAX} : (int64_t{1} << d.bits) - 1;
    if ((range = inRange(c.uint_contents(), 0, hi))) {
      if (d.bits == 8) pack<uint8_t>(c.uint_contents(), &t->owned);
      if (d.bits == 16) pack<uint16_t>(c.uint_contents(), &t->owned);
      if (d.bits == 32) pack<uint32_t>(c.uint_contents(), &t->owned);
    }
  }
  if (!range) return bad(at + "the contents hold a value outside the datatype's range");
  t->data = t->owned.data();
  t->bytes = t->owned.size();
  return Error();
}

// A flag parameter the REST side reads (binary_data_output, binary_data): outputs always travel as raw
// bytes here, so its value changes nothing, but one that is not a bool is refused as REST refuses it.
Error checkFlag(const google::protobuf::Map<std::string, inference::InferParameter>& params, const char* key,
                const std::string& where) {
  const auto it = params.find(key);
  if (it == params.end() || it->second.parameter_choice_case() == inference::InferParameter::kBoolParam)
    return Error();
  return bad(where + "parameter \"" + key + "\" is not true or false");
}

// Turns a ModelInferRequest into an InferRequest checked against the model.  Raw input contents are not
// copied: their bytes are moved out of `in` into *raw, which the inputs then point into and which must
// outlive them.
Error decodeRequest(inference::ModelInferRequest& in, const ModelSignature& sig, uint32_t maxBatch,
                    uint64_t maxBytes, InferRequest* out, uint32_t* items, std::vector<std::string>* raw) {
  InferRequest r;
  r.model = sig.name;
  r.version = in.model_version();
  r.id = in.id();
  Error e = checkFlag(in.parameters(), "binary_data_output", "");
  if (e) return e;
  const bool isRaw = in.raw_input_contents_size() > 0;
  if (isRaw && in.raw_input_contents_size() != in.inputs_size())
    return bad("raw_input_contents holds " + std::to_string(in.raw_input_contents_size()) + " tensors for " +
               std::to_string(in.inputs_size()) + " inputs");
  raw->assign(isRaw ? static_cast<size_t>(in.inputs_size()) : 0, std::string());   // never grows: pointers stay
  for (int i = 0; i < in.inputs_size(); ++i) {
    const auto& src = in.inputs(i);
    InputTensor t;
    t.name = src.name();
    t.datatype = src.datatype();
    t.shape.assign(src.shape().begin(), src.shape().end());
    const std::string at = "input \"" + t.name + "\": ";
    if (!datatypeByName(t.datatype, &t.dtype)) return bad(at + "unknown datatype \"" + t.datatype + "\"");
    const int64_t count = elementCount(t.shape, static_cast<int64_t>(maxBytes));
    if (count < 0) return bad(at + "shape " + shapeText(t.shape) + " is negative or larger than a request can be");
    if (isRaw) {
      if (src.has_contents()) return bad(at + "has contents although raw_input_contents is used");
      std::string& bytes = (*raw)[static_cast<size_t>(i)];
      bytes.swap(*in.mutable_raw_input_contents(i));
      t.data = reinterpret_cast<const uint8_t*>(bytes.data());
      t.bytes = bytes.size();
    } else {
      // Only the model's datatype is decoded; a mismatch is reported by checkRequest below.
      const TensorSpec* declared = nullptr;
      for (const auto& s : sig.inputs) {
        if (s.name == t.name) declared = &s;
      }
      if (declared != nullptr && declared->datatype == t.datatype) {
        if ((e = decodeContents(src.contents(), count, &t))) return e;
      }
    }
    r.inputs.push_back(std::move(t));
  }
  for (int i = 0; i < in.outputs_size(); ++i) {
    const auto& o = in.outputs(i);
    if ((e = checkFlag(o.parameters(), "binary_data", "outputs[" + std::to_string(i) + "]: "))) return e;
    r.outputs.push_back(RequestedOutput{o.name(), false});
  }
  e = checkRequest(r, sig.inputs, sig.outputs, maxBatch, items);
  if (e) return e;
  *out = std::move(r);
  return Error();
}

void fillTensorMeta(const TensorSpec& t, inference::ModelMetadataResponse::TensorMetadata* m) {
  m->set_name(t.name);
  m->set_datatype(t.datatype);
  for (int64_t d : t.shape) m->add_shape(d);
}

// A request's outputs as a ModelInferResponse, in raw_output_contents.
void fillResponse(const InferResult& res, inference::ModelInferResponse* r) {
  r->set_model_name(res.model);
  r->set_model_version(kModelVersion);
  r->set_id(res.id);
  for (auto& t : res.outputs) {
    auto* o = r->add_outputs();
    o->set_name(t.name);
    o->set_datatype(t.datatype);
    for (int64_t d : t.shape) o->add_shape(d);
    r->add_raw_output_contents(reinterpret_cast<const char*>(t.data.data()), t.data.size());
  }
}

// Requests of one ModelStreamInfer call read and not yet answered, at most: the reader stops reading past
// them (gRPC's flow control then holds the client back) until the oldest is answered.
constexpr size_t kStreamWindow = 16;

}  // namespace

// The ModelInfer calls waiting for their outputs, watched by one thread: a call the client cancelled, whose
// deadline passed or whose connection went away is given up (GiveUp::now()), which wakes it at once.  gRPC's
// synchronous API tells a handler of a cancellation only when asked, so the watcher asks for every waiting
// call every kPollMs; the calls themselves sleep until their outputs are in or they are given up.
class CancelWatch {
 public:
  static constexpr int kPollMs = 20;

  CancelWatch() : thread_([this] { run(); }) {}
  ~CancelWatch() {
    {
      std::lock_guard<std::mutex> g(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  // While a Watched lives, its call is watched.  `ctx` and `giveUp` must outlive it.
  class Watched {
   public:
    Watched(CancelWatch& w, grpc::ServerContext* ctx, GiveUp* giveUp) : w_(w), ctx_(ctx) {
      {
        std::lock_guard<std::mutex> g(w_.mu_);
        w_.calls_[ctx] = giveUp;
      }
      w_.cv_.notify_all();
    }
    // Once this returns the watcher no longer touches the call's context.
    ~Watched() {
      std::lock_guard<std::mutex> g(w_.mu_);
      w_.calls_.erase(ctx_);
    }
    Watched(const Watched&) = delete;
    Watched& operator=(const Watched&) = delete;

   private:
    CancelWatch& w_;
    grpc::ServerContext* ctx_;
  };

 private:
  void run() {
    std::unique_lock<std::mutex> lk(mu_);
    while (!stop_) {
      if (calls_.empty()) {
        cv_.wait(lk);
        continue;
      }
      cv_.wait_for(lk, std::chrono::milliseconds(kPollMs));
      // Asked holding mu_: a call leaves calls_ (and may end) only once its check is over.
      for (auto& c : calls_) {
        if (!c.second->given() && c.first->IsCancelled()) c.second->now();
      }
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::map<grpc::ServerContext*, GiveUp*> calls_;   // mu_
  bool stop_ = false;                               // mu_
  std::thread thread_;
};

// Service inference.GRPCInferenceService (as generated from inference.proto, whose methods it serves under
// the same names, checked against the declaration at start), its unary requests parsed as Parsed<M>.
class GrpcFront::Service final : public grpc::Service {
 public:
  Service(Repository& repo, uint64_t maxBytes, uint32_t maxStreams)
      : repo_(repo), maxBytes_(maxBytes), maxStreams_(maxStreams) {
    addMethod("/inference.GRPCInferenceService/ServerLive", &Service::ServerLive);
    addMethod("/inference.GRPCInferenceService/ServerReady", &Service::ServerReady);
    addMethod("/inference.GRPCInferenceService/ModelReady", &Service::ModelReady);
    addMethod("/inference.GRPCInferenceService/ServerMetadata", &Service::ServerMetadata);
    addMethod("/inference.GRPCInferenceService/ModelMetadata", &Service::ModelMetadata);
    addMethod("/inference.GRPCInferenceService/ModelInfer", &Service::ModelInfer);
    // Its requests are read as bytes and parsed by the handler: one that does not parse is answered in the
    // stream like any other refused request, rather than ending the stream.
    static const char kStream[] = "/inference.GRPCInferenceService/ModelStreamInfer";
    served_[kStream] = true;
    AddMethod(new grpc::internal::RpcServiceMethod(
        kStream, grpc::internal::RpcMethod::BIDI_STREAMING,
        new grpc::internal::BidiStreamingHandler<Service, grpc::ByteBuffer, inference::ModelStreamInferResponse>(
            [](Service* service, grpc::ServerContext* ctx,
               grpc::ServerReaderWriter<inference::ModelStreamInferResponse, grpc::ByteBuffer>* stream) {
              return service->ModelStreamInfer(ctx, stream);
            },
            this)));
  }

  // "" when the methods served here are those inference.proto declares for the service, with the same
  // streaming; otherwise what differs.  The methods are registered here by hand (see addMethod()), not
  // through the generated service, so nothing else ties them to the declaration.
  std::string checkAgainstDeclaration() const {
    const auto* svc = inference::ModelInferRequest::descriptor()->file()->FindServiceByName("GRPCInferenceService");
    if (svc == nullptr) return "inference.proto declares no GRPCInferenceService";
    std::map<std::string, bool> declared;
    for (int i = 0; i < svc->method_count(); ++i) {
      const auto* m = svc->method(i);
      if (m->client_streaming() != m->server_streaming())
        return "method " + m->name() + " streams one way only, which is not served";
      declared["/" + svc->full_name() + "/" + m->name()] = m->client_streaming();
    }
    for (const auto& d : declared) {
      const auto it = served_.find(d.first);
      if (it == served_.end()) return "method " + d.first + " is declared but not served";
      if (it->second != d.second) return "method " + d.first + " is served with another streaming than declared";
    }
    for (const auto& m : served_) {
      if (declared.count(m.first) == 0) return "method " + m.first + " is served but not declared";
    }
    return "";
  }

  grpc::Status ServerLive(grpc::ServerContext*, const inference::ServerLiveRequest*,
                          inference::ServerLiveResponse* r) {
    r->set_live(true);
    return grpc::Status::OK;
  }
  grpc::Status ServerReady(grpc::ServerContext*, const inference::ServerReadyRequest*,
                           inference::ServerReadyResponse* r) {
    r->set_ready(!repo_.stopping());
    return grpc::Status::OK;
  }
  grpc::Status ModelReady(grpc::ServerContext*, const inference::ModelReadyRequest* q,
                          inference::ModelReadyResponse* r) {
    Error e;
    if (lookup(q->name(), q->version(), &e) == nullptr) return toStatus(e);
    r->set_ready(!repo_.stopping());
    return grpc::Status::OK;
  }
  grpc::Status ServerMetadata(grpc::ServerContext*, const inference::ServerMetadataRequest*,
                              inference::ServerMetadataResponse* r) {
    uint32_t major = 0, minor = 0, rev = 0;
    const char* ver = nullptr;
    qoblGetVersion(&ver, &major, &minor, &rev, nullptr);
    r->set_name(kServerName);
    r->set_version(std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(rev));
    r->add_extensions("binary_tensor_data");
    return grpc::Status::OK;
  }
  grpc::Status ModelMetadata(grpc::ServerContext*, const inference::ModelMetadataRequest* q,
                             inference::ModelMetadataResponse* r) {
    Error e;
    const ServedModel* m = lookup(q->name(), q->version(), &e);
    if (m == nullptr) return toStatus(e);
    r->set_name(m->name());
    r->add_versions(kModelVersion);
    r->set_platform(kModelPlatform);
    for (const auto& t : m->signature().inputs) fillTensorMeta(t, r->add_inputs());
    for (const auto& t : m->signature().outputs) fillTensorMeta(t, r->add_outputs());
    return grpc::Status::OK;
  }
  grpc::Status ModelInfer(grpc::ServerContext* ctx, const inference::ModelInferRequest* q,
                          inference::ModelInferResponse* r) {
    Error e;
    ServedModel* m = lookup(q->model_name(), q->model_version(), &e);
    if (m == nullptr) return toStatus(e);
    InferRequest req;
    uint32_t items = 0;
    // The request message is this call's own and read nowhere else: its raw input bytes, often most of it,
    // are taken over by the inference instead of copied.  They live as long as the inference needs them,
    // which may be longer than this call (items already on a card when the call is given up).
    auto raw = std::make_shared<std::vector<std::string>>();
    if ((e = decodeRequest(*const_cast<inference::ModelInferRequest*>(q), m->signature(),
                           repo_.config().queueCapacity, maxBytes_, &req, &items, raw.get()))) {
      m->rejected();
      return toStatus(e);
    }
    InferResult res;
    // A call the client cancelled, whose deadline passed or whose connection went away gives its place back:
    // its items not yet on the card are dropped, and the thread is free for the next call.
    GiveUp giveUp;
    if (ctx->IsCancelled()) giveUp.now();
    {
      CancelWatch::Watched watched(cancelWatch_, ctx, &giveUp);
      e = m->infer(std::move(req), items, std::move(raw), &res, &giveUp);
    }
    if (e) return toStatus(e);
    fillResponse(res, r);
    return grpc::Status::OK;
  }

  // Bidirectional streaming inference.  This handler's thread reads the requests, checks each and queues
  // it on its model at once (so requests of one stream share device runs as those of separate calls do),
  // and hands it to a writer thread of the stream's own, which answers the requests in the order they
  // came, each as soon as its outputs are in: one response per request, its outputs or its error, the
  // stream going on after an error.  At most kStreamWindow requests are read ahead of the answers.
  //
  // The stream ends when the client has half-closed it and every request is answered (OK); when the
  // client cancels it, its deadline passes or its connection goes away (the requests not answered are
  // given up, their items still queued dropped, within CancelWatch::kPollMs); or when the server stops:
  // the requests read until then are answered, and the stream ends UNAVAILABLE, or CANCELLED when it was
  // waiting for the client's next request (gRPC's synchronous API can end a call blocked in a read only
  // by cancelling it).
  grpc::Status ModelStreamInfer(grpc::ServerContext* ctx,
                                grpc::ServerReaderWriter<inference::ModelStreamInferResponse, grpc::ByteBuffer>* stream) {
    OpenStream open;
    {
      std::lock_guard<std::mutex> g(streamsMu_);
      if (stopping_) return grpc::Status(grpc::StatusCode::UNAVAILABLE, "the server is shutting down");
      if (streams_.size() >= maxStreams_)
        return grpc::Status(grpc::StatusCode::UNAVAILABLE, std::to_string(maxStreams_) +
                                                               " inference streams are open, the most the server "
                                                               "takes; try again later");
      streams_.insert(&open);
    }
    struct Registered {   // until the handler returns, however it returns
      Service& s;
      OpenStream* open;
      ~Registered() {
        std::lock_guard<std::mutex> g(s.streamsMu_);
        s.streams_.erase(open);
      }
    } registered{*this, &open};
    // A client cancelling the stream gives up the request being waited for, and so all the others.
    GiveUp giveUp;
    {
      CancelWatch::Watched watched(cancelWatch_, ctx, &giveUp);
      std::thread writer([&] { writeAnswers(ctx, stream, open, giveUp); });
      for (;;) {
        {
          std::unique_lock<std::mutex> lk(open.mu);
          open.cv.wait(lk, [&] { return open.answers.size() < kStreamWindow || open.writerDone || open.stop; });
          if (open.writerDone || open.stop) break;
        }
        grpc::ByteBuffer buf;
        if (!stream->Read(&buf)) break;   // half-closed, cancelled, or the connection is gone
        Answer a = prepare(buf);
        std::lock_guard<std::mutex> g(open.mu);
        if (open.writerDone) break;   // a is dropped: its request is given up
        open.answers.push_back(std::move(a));
        open.cv.notify_all();
        // Stopping: the request just read was refused as UNAVAILABLE; no more are read.
        if (open.stop) break;
      }
      {
        std::lock_guard<std::mutex> g(open.mu);
        open.readsDone = true;
      }
      open.cv.notify_all();
      writer.join();
      // Requests the writer did not answer (the stream was cancelled) are given up.
      open.answers.clear();
    }
    if (open.cancelled || ctx->IsCancelled()) return grpc::Status(grpc::StatusCode::CANCELLED, "the stream was cancelled");
    if (open.stop)
      return grpc::Status(grpc::StatusCode::UNAVAILABLE,
                          "the server is shutting down: the requests read until then were answered");
    return grpc::Status::OK;
  }

  // Ends the open inference streams once their requests read so far are answered, and refuses new ones.
  void stopStreams() {
    std::lock_guard<std::mutex> g(streamsMu_);
    stopping_ = true;
    for (OpenStream* s : streams_) {
      {
        std::lock_guard<std::mutex> sg(s->mu);
        s->stop = true;
      }
      s->cv.notify_all();
    }
  }

 private:
  // Serves the unary method `path` (a string with static storage: gRPC keeps the pointer) with `handler`.
  template <class Req, class Resp>
  void addMethod(const char* path,
                 grpc::Status (Service::*handler)(grpc::ServerContext*, const Req*, Resp*)) {
    served_[path] = false;
    AddMethod(new grpc::internal::RpcServiceMethod(
        path, grpc::internal::RpcMethod::NORMAL_RPC,
        new grpc::internal::RpcMethodHandler<Service, Parsed<Req>, Resp>(
            [handler](Service* service, grpc::ServerContext* ctx, const Parsed<Req>* q, Resp* r) {
              return (service->*handler)(ctx, &q->msg, r);
            },
            this)));
  }

  // A request of a stream as read: queued on its model, or refused with an error.
  struct Answer {
    std::string model, version, id;   // as the request named them, echoed with an error
    ServedModel* served = nullptr;
    std::unique_ptr<ServedModel::Pending> pending;   // queued: its outputs are collected from here
    Error error;                                     // refused before it was queued
  };

  // A ModelStreamInfer call's state shared by its reader (the handler's thread), its writer, and stopStreams().
  struct OpenStream {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Answer> answers;   // mu: read, in order, not yet answered
    bool readsDone = false;       // mu: the reader reads no more requests
    bool writerDone = false;      // mu: the writer writes no more answers
    bool stop = false;            // mu: the server is stopping
    bool cancelled = false;       // mu: the writer cancelled the call
  };

  // Checks a request read from a stream and queues it on its model.
  Answer prepare(grpc::ByteBuffer& buf) {
    Answer a;
    inference::ModelInferRequest q;
    const grpc::Status s = grpc::GenericDeserialize<grpc::ProtoBufferReader, inference::ModelInferRequest>(&buf, &q);
    if (!s.ok()) {
      a.error = bad("the request is not a valid " + inference::ModelInferRequest::descriptor()->full_name() +
                    " message" + (s.error_message().empty() ? "" : ": " + s.error_message()));
      return a;
    }
    a.model = q.model_name();
    a.version = q.model_version();
    a.id = q.id();
    ServedModel* m = lookup(a.model, a.version, &a.error);
    if (m == nullptr) return a;
    InferRequest req;
    uint32_t items = 0;
    auto raw = std::make_shared<std::vector<std::string>>();
    if ((a.error = decodeRequest(q, m->signature(), repo_.config().queueCapacity, maxBytes_, &req, &items, raw.get()))) {
      m->rejected();
      return a;
    }
    a.served = m;
    a.pending = m->submit(std::move(req), items, std::move(raw), &a.error);
    return a;
  }

  // The writer of a stream: answers its requests in order until the reader is done and all are answered,
  // the call fails, or the server stops while the stream waits for a request.
  void writeAnswers(grpc::ServerContext* ctx,
                    grpc::ServerReaderWriter<inference::ModelStreamInferResponse, grpc::ByteBuffer>* stream,
                    OpenStream& open, GiveUp& giveUp) {
    for (;;) {
      Answer a;
      {
        std::unique_lock<std::mutex> lk(open.mu);
        open.cv.wait(lk, [&] { return !open.answers.empty() || open.readsDone || open.stop; });
        if (open.answers.empty()) {
          if (!open.readsDone) {
            // Stopping, every request read is answered, and the reader waits for the client's next one:
            // only cancelling the call ends that wait.
            open.cancelled = true;
            ctx->TryCancel();
          }
          open.writerDone = true;
          break;
        }
        a = std::move(open.answers.front());
        open.answers.pop_front();
      }
      open.cv.notify_all();   // room for the reader
      inference::ModelStreamInferResponse r;
      if (a.pending) {
        InferResult res;
        a.error = a.served->collect(std::move(a.pending), &res, &giveUp);
        if (!a.error) fillResponse(res, r.mutable_infer_response());
      }
      if (a.error) {
        r.set_error_message(a.error.message);
        auto* ir = r.mutable_infer_response();
        ir->set_model_name(a.model);
        ir->set_model_version(a.version);
        ir->set_id(a.id);
      }
      if (!stream->Write(r)) {   // the call was cancelled or its connection is gone
        std::lock_guard<std::mutex> g(open.mu);
        open.cancelled = true;
        ctx->TryCancel();   // so that the reader's wait ends too
        open.writerDone = true;
        break;
      }
    }
    open.cv.notify_all();
  }

  ServedModel* lookup(const std::string& name, const std::string& version, Error* e) {
    ServedModel* m = repo_.find(name);
    if (m == nullptr) {
      *e = makeError(ErrorKind::kNotFound, "unknown model \"" + name + "\"");
    } else if (!version.empty() && version != kModelVersion) {
      *e = makeError(ErrorKind::kNotFound,
                     "model \"" + name + "\" has no version \"" + version + "\" (versions: " + kModelVersion + ")");
      m = nullptr;
    }
    return m;
  }

  Repository& repo_;
  uint64_t maxBytes_;
  uint32_t maxStreams_;
  CancelWatch cancelWatch_;
  std::mutex streamsMu_;
  std::set<OpenStream*> streams_;   // streamsMu_: the ModelStreamInfer calls open now
  bool stopping_ = false;           // streamsMu_: stopStreams() was called
  // Every method served, by path, and whether it streams both ways: checked against inference.proto.
  std::map<std::string, bool> served_;
};

namespace {

// Handler threads for the sync server.  A ModelInfer call holds its thread while its items wait in the
// model's queue and run on the cards, and gRPC refuses a call that finds every thread taken ("Server
// Threadpool Exhausted", RESOURCE_EXHAUSTED, which clients do not retry).  So that the models' queues,
// not the threads, bound the calls waiting at once - a call beyond them is refused as UNAVAILABLE, "try
// again later" - there is a thread for every request that can be waiting or on the cards (each holds at
// least one item), besides the `threads` for calls being read or answered, and one for each inference
// stream that may be open (a stream holds its thread while it is open; its requests wait holding none).
// Threads are only started when calls need them.
uint64_t handlerThreads(const Repository& repo, uint32_t threads, uint32_t streams) {
  const ServeConfig& c = repo.config();
  uint64_t waiting = 0;
  for (const auto& name : repo.names()) {
    const ServedModel* m = repo.find(name);
    const uint64_t shapes = m->dynamic() ? c.maxShapes : 1;
    waiting += c.queueCapacity + uint64_t{c.devices} * c.instancesPerDevice * c.inFlight * m->batch() * shapes;
  }
  return std::min<uint64_t>(threads + waiting + streams, kMaxHandlerThreads);
}

}  // namespace

GrpcFront::GrpcFront(Repository& repo, const GrpcConfig& cfg)
    : repo_(repo), cfg_(cfg), service_(new Service(repo, cfg.maxRequestBytes, cfg.maxStreams)) {}

GrpcFront::~GrpcFront() { stop(0); }

std::string GrpcFront::start(int* port) {
  const bool v6 = cfg_.host.find(':') != std::string::npos;
  const std::string addr = (v6 ? "[" + cfg_.host + "]" : cfg_.host) + ":" + std::to_string(cfg_.port);
  const std::string mismatch = service_->checkAgainstDeclaration();
  if (!mismatch.empty()) return "the gRPC service does not match inference.proto: " + mismatch;
  grpc::ServerBuilder b;
  int bound = 0;
  b.AddListeningPort(addr, grpc::InsecureServerCredentials(), &bound);
  b.RegisterService(service_.get());
  b.SetMaxReceiveMessageSize(static_cast<int>(std::min<uint64_t>(cfg_.maxRequestBytes, INT_MAX)));
  grpc::ResourceQuota quota("qobl-serve");
  quota.SetMaxThreads(static_cast<int>(handlerThreads(repo_, cfg_.threads, cfg_.maxStreams)) + 2);
  b.SetResourceQuota(quota);
  server_ = b.BuildAndStart();
  if (!server_ || bound == 0) {
    server_.reset();
    return "cannot listen for gRPC on " + addr;
  }
  *port = bound;
  return "";
}

void GrpcFront::stop(uint32_t graceMs) {
  if (!server_) return;
  service_->stopStreams();
  server_->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(graceMs));
  server_->Wait();
  server_.reset();
}

}  // namespace qoblserve
}  // namespace zenlar
