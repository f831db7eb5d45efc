#include "http_front.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <strings.h>
#include <sys/socket.h>

#include <httplib.h>
#include <qobcrt/qobcrt_sim.h>

#include "http_server.h"
#include "qobl_api.h"
#include "rest_codec.h"

namespace zenlar {
namespace qoblserve {

const char* const kServerName = "qobl-serve";
const char* const kModelVersion = "1";
const char* const kModelPlatform = "qobl";

namespace {

using httplib::Request;
using httplib::Response;
using httplib::Server;

const char* const kModelPath = R"(/v2/models/([^/]+)(?:/versions/([^/]+))?)";

void reply(Response& res, const Error& e) {
  res.status = httpStatus(e.kind);
  res.set_content(errorJson(e.message), "application/json");
}

// "a.b.c" of the library.
std::string libraryVersion() {
  const char* ver = nullptr;
  uint32_t major = 0, minor = 0, rev = 0;
  qoblGetVersion(&ver, &major, &minor, &rev, nullptr);
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(rev);
}

bool parseU32(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// "a, b" as its trimmed, non-empty elements.
std::vector<std::string> listElements(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(',', pos);
    if (end == std::string::npos) end = text.size();
    size_t b = pos, e = end;
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    if (e > b) out.push_back(text.substr(b, e - b));
    pos = end + 1;
  }
  return out;
}

// A request whose body length the server and a proxy in front of it could read differently (RFC 9112's
// message body length rules), answered with an error and a close before any of the body is read:
// Content-Length together with Transfer-Encoding, more than one Content-Length or one that is not a
// plain decimal number, a transfer coding other than one "chunked", Transfer-Encoding in an HTTP/1.0
// request (HTTP/1.0 has no transfer codings: a proxy of that version reads the body to the connection's
// end).  Returns false when the framing is sound.  A few header look-ups: no cost worth counting on the
// inference path.
bool refuseFraming(const Request& req, Response& res) {
  const size_t te = req.get_header_value_count("Transfer-Encoding");
  const size_t cl = req.get_header_value_count("Content-Length");
  if (te == 0 && cl == 0) return false;
  int status = 400;
  std::string why;
  if (te != 0 && req.version == "HTTP/1.0") {
    why = "an HTTP/1.0 request may not carry Transfer-Encoding";
  } else if (te != 0 && cl != 0) {
    why = "a request may not carry both Content-Length and Transfer-Encoding";
  } else if (cl > 1) {
    why = "a request may carry only one Content-Length";
  } else if (cl == 1) {
    const std::string text = req.get_header_value("Content-Length");
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) return false;
    why = "Content-Length \"" + text + "\" is not a decimal byte count";
  } else {
    std::vector<std::string> codings;
    for (size_t i = 0; i < te; ++i)
      for (std::string& c : listElements(req.get_header_value("Transfer-Encoding", i))) codings.push_back(std::move(c));
    const auto chunked = [](const std::string& c) { return strcasecmp(c.c_str(), "chunked") == 0; };
    const bool chunkedLast = !codings.empty() && chunked(codings.back());
    if (chunkedLast && codings.size() == 1) return false;
    if (chunkedLast && std::any_of(codings.begin(), codings.end() - 1, chunked)) {
      why = "the chunked transfer coding may be applied only once";   // a malformed message, not a coding unknown here
    } else if (chunkedLast) {
      status = 501;
      why = "only the chunked transfer coding is supported, alone";
    } else {
      why = "the transfer codings of a request must end in chunked";
    }
  }
  res.status = status;
  res.set_content(errorJson(why), "application/json");
  res.set_header("Connection", "close");   // the body, whatever its length, is left unread
  return true;
}

// A Host field whose value is not a host and an optional port (letters, digits, "-._~", "%", sub-delims,
// ':' and the brackets of an IPv6 literal; empty is allowed), answered with 400 and a close: a proxy in
// front may route by a Host value it reads otherwise, or pass one on that names another target.
bool refuseHost(const Request& req, Response& res) {
  const std::string host = req.get_header_value("Host");
  const auto allowed = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("-._~%!$&'()*+,;=:[]", c) != nullptr);
  };
  if (std::all_of(host.begin(), host.end(), allowed)) return false;
  res.status = 400;
  res.set_content(errorJson("the Host header field is not a host name or address with an optional port"),
                  "application/json");
  res.set_header("Connection", "close");   // any body is left unread
  return true;
}

// A request target that is neither a path ("/..."), nor an absolute http or https URI, nor "*" of an
// OPTIONS request, answered with 400 and a close ("v2/health/live" is no path, and would otherwise get 404
// as an unknown endpoint).  A CONNECT request's target names an authority; it is refused as CONNECT is.
bool refuseTarget(const Request& req, Response& res) {
  const std::string& t = req.target;
  if (!t.empty() && t[0] == '/') return false;
  if (strncasecmp(t.c_str(), "http://", 7) == 0 || strncasecmp(t.c_str(), "https://", 8) == 0) return false;
  if ((t == "*" && req.method == "OPTIONS") || req.method == "CONNECT") return false;
  res.status = 400;
  res.set_content(errorJson(t == "*" ? "the request target \"*\" is taken by OPTIONS only"
                                     : "the request target is not a path starting with '/' nor an absolute http:// "
                                       "or https:// URI"),
                  "application/json");
  res.set_header("Connection", "close");   // any body is left unread
  return true;
}

// What a client is told when its inference request's body is over --max-request-bytes.
std::string bodyTooLarge(uint64_t max) {
  return "the request body is larger than " + std::to_string(max) + " bytes (--max-request-bytes)";
}

// The methods whose body the library reads before routing; it leaves any other request's body unread, and
// would then read that body as the next request.
bool bodyReadFor(const std::string& m) {
  return m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE" || m == "PRI";
}

// The methods the library hands to no handler at all: it answers them with a bare 400, their body unread.
bool unroutedMethod(const std::string& m) { return m == "CONNECT" || m == "TRACE" || m == "PRI"; }

bool knownMethod(const std::string& m) {
  static const char* const kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH",
                                         "PRI"};
  return std::any_of(std::begin(kMethods), std::end(kMethods), [&m](const char* k) { return m == k; });
}

}  // namespace

HttpFront::HttpFront(Repository& repo, Metrics& metrics, const HttpConfig& cfg)
    : repo_(repo), metrics_(metrics), cfg_(cfg), server_(new BoundedServer) {
  const uint32_t threads = cfg_.threads;
  server_->setThreads(threads);
  const time_t sec = cfg_.readTimeoutMs / 1000, usec = (cfg_.readTimeoutMs % 1000) * 1000;
  server_->set_read_timeout(sec, usec);
  server_->set_write_timeout(sec, usec);
  server_->set_keep_alive_timeout(cfg_.idleTimeoutS);
  ConnectionLimits limits;
  limits.headTimeoutMs = cfg_.headerTimeoutMs;
  limits.maxHeadBytes = cfg_.maxHeaderBytes;
  limits.maxHeaderFields = cfg_.maxHeaderFields;
  limits.responseTimeoutMs = cfg_.responseTimeoutMs;
  limits.lingerIdleMs = std::min<uint32_t>(limits.lingerIdleMs, cfg_.readTimeoutMs);
  // Clients that keep sending after a refusal may hold half the workers for the whole lingering time, no
  // more: the others stay free for everyone else.
  limits.lingerSlots = std::max<uint32_t>(1, threads / 2);
  // A little later than the inference handler's own deadline, which starts a moment after the head: a
  // chunked body cut off here is one the handler finds late.
  limits.chunkedBodyTimeoutMs = cfg_.requestTimeoutMs + 100;
  ConnectionEvents events;
  events.headTimedOut = [this] { metrics_.headTimedOut(); };
  events.headTooLarge = [this] { metrics_.headTooLarge(); };
  events.responseTimedOut = [this] { metrics_.responseTimedOut(); };
  server_->setLimits(limits, std::move(events));
  server_->set_keep_alive_max_count(100);
  server_->set_tcp_nodelay(true);   // a response's head and body go out at once, not after a delayed ACK
  server_->set_payload_max_length(cfg_.maxRequestBytes);
  routes();
}

HttpFront::~HttpFront() { stop(); }

std::string HttpFront::bind(int* port) {
  if (cfg_.port == 0) {
    const int p = server_->bind_to_any_port(cfg_.host);
    if (p <= 0) return "cannot listen for HTTP on " + cfg_.host + " (any port)";
    *port = p;
  } else {
    if (!server_->bind_to_port(cfg_.host, cfg_.port))
      return "cannot listen for HTTP on " + cfg_.host + ":" + std::to_string(cfg_.port);
    *port = cfg_.port;
  }
  // Room for many clients connecting at once (the kernel caps it at net.core.somaxconn).
  if (!server_->setBacklog(SOMAXCONN)) return "cannot listen for HTTP on " + cfg_.host + ": listen() failed";
  return "";
}

void HttpFront::start() {
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void HttpFront::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

void HttpFront::routes() {
  httplib::Server& s = *server_;
  // The model a path names: only ever looked up among the loaded models; version "1" or none.
  const auto lookup = [this](const Request& req, Response& res) -> ServedModel* {
    const std::string name = req.matches[1];
    const std::string version = req.matches.size() > 2 ? std::string(req.matches[2]) : std::string();
    ServedModel* m = repo_.find(name);
    if (m == nullptr) {
      reply(res, makeError(ErrorKind::kNotFound, "unknown model \"" + name + "\""));
      return nullptr;
    }
    if (!version.empty() && version != kModelVersion) {
      reply(res, makeError(ErrorKind::kNotFound,
                           "model \"" + name + "\" has no version \"" + version + "\" (versions: " + kModelVersion + ")"));
      return nullptr;
    }
    return m;
  };

  // Every endpoint's path and the methods it takes, recorded as the routes are made: a known method on a
  // path that does not take it gets 405 and the list (Allow), OPTIONS gets the list alone.
  struct Endpoint {
    std::regex path;
    const char* methods;
  };
  auto endpoints = std::make_shared<std::vector<Endpoint>>();
  static const char kGet[] = "GET, HEAD, OPTIONS";
  static const char kPost[] = "POST, OPTIONS";
  const auto get = [&s, endpoints](const std::string& path, httplib::Server::Handler handler) {
    endpoints->push_back({std::regex(path), kGet});
    s.Get(path, std::move(handler));
  };
  const auto post = [&s, endpoints](const std::string& path, auto handler) {
    endpoints->push_back({std::regex(path), kPost});
    s.Post(path, std::move(handler));
  };

  get("/v2/health/live", [](const Request&, Response& res) { res.status = 200; });
  // Not ready once stopping: 503 with a body that says why (a bodiless error status would be taken for the
  // library's own, which closes the connection).
  const auto ready = [this](Response& res) {
    if (!repo_.stopping()) {
      res.status = 200;
      return;
    }
    reply(res, makeError(ErrorKind::kUnavailable, "the server is shutting down"));
  };
  get("/v2/health/ready", [ready](const Request&, Response& res) { ready(res); });
  get("/v2", [](const Request&, Response& res) {
    res.set_content(serverMetadataJson(kServerName, libraryVersion(), {"binary_tensor_data"}), "application/json");
  });
  get(kModelPath, [lookup](const Request& req, Response& res) {
    if (ServedModel* m = lookup(req, res))
      res.set_content(modelMetadataJson(m->signature(), {kModelVersion}, kModelPlatform), "application/json");
  });
  get(std::string(kModelPath) + "/ready", [ready, lookup](const Request& req, Response& res) {
    if (lookup(req, res) != nullptr) ready(res);
  });
  get("/metrics", [this](const Request&, Response& res) {
    res.set_content(metrics_.render(), "text/plain; version=0.0.4");
  });

  post(std::string(kModelPath) + "/infer", [this, lookup](const Request& req, Response& res,
                                                           const httplib::ContentReader& reader) {
    ServedModel* m = lookup(req, res);
    if (m == nullptr) {
      res.set_header("Connection", "close");   // the body is left unread
      return;
    }
    const uint64_t max = cfg_.maxRequestBytes;
    uint64_t declared = 0;
    if (req.has_header("Content-Length")) {
      const std::string text = req.get_header_value("Content-Length");
      char* end = nullptr;
      declared = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || declared > max) {
        m->rejected();
        reply(res, makeError(ErrorKind::kResourceExhausted, bodyTooLarge(max)));
        res.set_header("Connection", "close");
        return;
      }
    }
    auto body = std::make_shared<std::string>();
    body->reserve(static_cast<size_t>(declared));
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(cfg_.requestTimeoutMs);
    auto lastData = Clock::now();
    bool overflow = false, late = false;
    const bool read = reader([&](const char* data, size_t n) {
      if (n > max - body->size()) return !(overflow = true);
      lastData = Clock::now();
      if (lastData > deadline) return !(late = true);
      body->append(data, n);
      return true;
    });
    // A read that fails past the deadline is a late body (the connection cut off a chunked body whose
    // size lines or trailer kept it coming without data), one that fails after the client fell silent
    // for the read time-out a stalled body: time-outs too.
    const BodyFault fault = read ? BodyFault{} : BoundedServer::bodyFault();
    late = late || (!read && !overflow &&
                    (fault.kind == BodyFault::Kind::kTimedOut || Clock::now() > deadline));
    const bool stalled = !read && !overflow && !late &&
                         (fault.kind == BodyFault::Kind::kStalled ||
                          Clock::now() - lastData >= std::chrono::milliseconds(cfg_.readTimeoutMs));
    if (!read || overflow || late) {
      m->rejected();
      if (overflow) {
        reply(res, makeError(ErrorKind::kResourceExhausted, bodyTooLarge(max)));
      } else if (fault.kind == BodyFault::Kind::kMalformed) {
        reply(res, makeError(ErrorKind::kInvalidArgument, std::string("malformed chunked body: ") + fault.why));
      } else if (late) {
        res.status = 408;
        res.set_content(errorJson("the request body did not arrive within " + std::to_string(cfg_.requestTimeoutMs) +
                                  " ms (--request-timeout-ms)"),
                        "application/json");
      } else if (stalled) {
        res.status = 408;
        res.set_content(errorJson("the request body stalled for " + std::to_string(cfg_.readTimeoutMs) +
                                  " ms (--read-timeout-ms)"),
                        "application/json");
      } else if (fault.kind == BodyFault::Kind::kClosed) {
        reply(res, makeError(ErrorKind::kInvalidArgument, "the connection ended before the whole request body arrived"));
      } else {
        reply(res, makeError(ErrorKind::kInvalidArgument, "the request body could not be read"));
      }
      res.set_header("Connection", "close");
      return;
    }
    int64_t headerLength = -1;
    if (req.has_header("Inference-Header-Content-Length")) {
      headerLength = parseHeaderLength(req.get_header_value("Inference-Header-Content-Length"), body->size());
      if (headerLength < 0) {
        m->rejected();
        reply(res, makeError(ErrorKind::kInvalidArgument,
                             "Inference-Header-Content-Length is not a byte count within the body's " +
                                 std::to_string(body->size()) + " bytes"));
        return;
      }
    }
    InferRequest r;
    uint32_t items = 0;
    RestLimits limits;
    limits.maxBatch = repo_.config().queueCapacity;
    Error e = parseRestRequest(*body, headerLength, m->signature(), limits, &r, &items);
    if (e) {
      m->rejected();
      reply(res, e);
      return;
    }
    r.version = req.matches.size() > 2 ? std::string(req.matches[2]) : std::string();
    InferResult result;
    e = m->infer(std::move(r), items, body, &result);
    if (e) {
      reply(res, e);
      return;
    }
    result.version = kModelVersion;
    std::string out;
    uint64_t jsonLength = 0;
    writeRestResponse(result, &out, &jsonLength);
    if (jsonLength != 0) {
      res.set_header("Inference-Header-Content-Length", std::to_string(jsonLength));
      res.set_content(std::move(out), "application/octet-stream");
    } else {
      res.set_content(std::move(out), "application/json");
    }
  });

  if (cfg_.testHooks) {
    // Test support only (QOBL_SERVE_TEST_HOOKS=1): drive the simulated card's fault injection and delay.
    post("/test-hooks/fail-next-run", [this](const Request& req, Response& res) {
      uint32_t card = 0, code = 0;
      if (!parseU32(req.get_param_value("card"), &card) || !parseU32(req.get_param_value("code"), &code)) {
        reply(res, makeError(ErrorKind::kInvalidArgument, "card and code must be numbers"));
        return;
      }
      const std::string err = repo_.failNextRun(req.get_param_value("model"), card, code);
      if (!err.empty()) reply(res, makeError(ErrorKind::kInvalidArgument, err));
    });
    post("/test-hooks/op-delay", [](const Request& req, Response& res) {
      uint32_t card = 0, us = 0;
      if (!parseU32(req.get_param_value("card"), &card) || !parseU32(req.get_param_value("us"), &us) ||
          qobcrt_sim_set_op_delay_us(card, us) != 0)
        reply(res, makeError(ErrorKind::kInvalidArgument, "card and us must be numbers, card a card of the host"));
    });
  }

  // Only inference requests are read as they arrive, under --max-request-bytes.  The HTTP library reads
  // the body of any other request whole before routing it: a body of unknown length (chunked) to any
  // size, one declared over the limit byte by byte however long it is.  Such bodies are refused unread.
  const auto inferPath = std::make_shared<const std::regex>(std::string(kModelPath) + "/infer");
  // A refusal sent before the body is read: from the pre-routing handler, and in place of "100 Continue"
  // to a client waiting for it before it sends the body.  False when the request may go on.
  const auto refuseUnread = [this, inferPath](const Request& req, Response& res) {
    if (refuseTarget(req, res) || refuseHost(req, res) || refuseFraming(req, res)) return true;
    // A GET, HEAD or OPTIONS request with a body: a proxy in front forwards the body with it, while the
    // library would read the body as a request of its own.  Such a body means nothing here: refused.
    const bool hasBody = req.has_header("Transfer-Encoding") ||
                         req.get_header_value("Content-Length").find_first_not_of('0') != std::string::npos;
    if (hasBody && !bodyReadFor(req.method)) {
      res.status = 400;
      const char* article = std::strchr("AEIOU", req.method[0]) != nullptr ? "an " : "a ";
      res.set_content(errorJson(article + req.method + " request may not carry a body"), "application/json");
      res.set_header("Connection", "close");   // the body is left unread
      return true;
    }
    if (req.method == "POST" && std::regex_match(req.path, *inferPath)) return false;
    bool refuse = req.has_header("Transfer-Encoding");
    if (!refuse && req.has_header("Content-Length")) {
      const std::string text = req.get_header_value("Content-Length");
      refuse = text.size() > 19 || std::strtoull(text.c_str(), nullptr, 10) > cfg_.maxRequestBytes;
    }
    if (!refuse) return false;
    reply(res, makeError(ErrorKind::kResourceExhausted, "only inference requests take a body of unknown length or "
                         "one larger than " + std::to_string(cfg_.maxRequestBytes) + " bytes (--max-request-bytes)"));
    res.set_header("Connection", "close");   // the body is left unread
    return true;
  };
  s.set_pre_routing_handler([refuseUnread](const Request& req, Response& res) {
    return refuseUnread(req, res) ? Server::HandlerResponse::Handled : Server::HandlerResponse::Unhandled;
  });
  // An inference request over the limit by its Content-Length, or for an unknown model, is refused as
  // the handler would refuse it, without inviting the body first.
  s.set_expect_100_continue_handler([this, refuseUnread, inferPath](const Request& req, Response& res) {
    if (refuseUnread(req, res)) return res.status;
    std::smatch match;
    if (req.method != "POST" || !std::regex_match(req.path, match, *inferPath)) return 100;
    ServedModel* m = repo_.find(match[1]);
    if (m == nullptr) {
      reply(res, makeError(ErrorKind::kNotFound, "unknown model \"" + std::string(match[1]) + "\""));
    } else if (req.has_header("Content-Length") &&
               std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > cfg_.maxRequestBytes) {
      m->rejected();
      reply(res, makeError(ErrorKind::kResourceExhausted, bodyTooLarge(cfg_.maxRequestBytes)));
    } else {
      return 100;
    }
    res.set_header("Connection", "close");   // the body, if the client sends it anyway, is left unread
    return res.status;
  });

  const auto methodsOn = [endpoints](const std::string& path) -> const char* {
    for (const Endpoint& e : *endpoints)
      if (std::regex_match(path, e.path)) return e.methods;
    return nullptr;
  };
  // "OPTIONS *" asks what the server takes at all.
  s.Options(".*", [methodsOn](const Request& req, Response& res) {
    const char* methods = req.path == "*" ? "GET, HEAD, POST, OPTIONS" : methodsOn(req.path);
    if (methods == nullptr) {
      res.status = 404;   // the error handler says so
      return;
    }
    res.status = 200;   // not 204: the library sends Content-Length: 0 with an empty body, which 204 may not carry
    res.set_header("Allow", methods);
  });

  s.set_error_handler([methodsOn](const Request& req, Response& res) {
    if (!res.body.empty()) return;
    const bool unrouted = res.status == 400 && unroutedMethod(req.method) && !req.path.empty();
    if (res.status == 404 || unrouted) {
      if (const char* methods = methodsOn(req.path)) {
        res.status = 405;
        res.set_header("Allow", methods);
        res.set_content(errorJson(req.path + " takes " + methods + ", not " + req.method), "application/json");
      } else {
        res.status = 404;
        res.set_content(errorJson("no such endpoint: " + req.method + " " + req.path), "application/json");
      }
      if (unrouted) res.set_header("Connection", "close");   // its body, if any, was not read
      return;
    }
    // Any other error without a body is the library's own, made before or while the request was read (a
    // request line or header it cannot parse, a body it cannot read): the rest of the request is still
    // unread, and would be read as the next one.  Answer and close.
    std::string what = "HTTP status " + std::to_string(res.status);
    if (res.status == 400 && !req.method.empty() && !knownMethod(req.method)) {
      res.status = 501;
      what = "the method \"" + req.method + "\" is not supported";
    } else if (res.status == 400) {
      what = "the request line or headers could not be parsed";
    } else if (res.status == 414) {
      what = "the request target is longer than " + std::to_string(CPPHTTPLIB_REQUEST_URI_MAX_LENGTH) + " bytes";
    }
    res.set_content(errorJson(what), "application/json");
    if (res.status != 416) res.set_header("Connection", "close");
  });
}

}  // namespace qoblserve
}  // namespace zenlar
