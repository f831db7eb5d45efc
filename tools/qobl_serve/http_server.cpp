#include "http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rest_codec.h"

namespace zenlar {
namespace qoblserve {

namespace {

using Clock = std::chrono::steady_clock;

int toMs(time_t sec, time_t usec) {
  const long long ms = static_cast<long long>(sec) * 1000 + static_cast<long long>(usec) / 1000;
  return static_cast<int>(std::min<long long>(std::max<long long>(ms, 0), INT32_MAX));
}

// poll() on one descriptor, restarted when a signal interrupts it: >0 ready, 0 timed out, <0 failed.
int pollOne(socket_t sock, short events, int timeoutMs) {
  pollfd p{sock, events, 0};
  for (;;) {
    const int r = ::poll(&p, 1, timeoutMs);
    if (r >= 0 || errno != EINTR) return r;
  }
}

void addressOf(const sockaddr_storage& addr, socklen_t len, std::string& ip, int& port) {
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
    return;
  ip = host;
  if (addr.ss_family == AF_INET)
    port = ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  else if (addr.ss_family == AF_INET6)
    port = ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
}

// Why the head of a request was not taken.
enum class HeadFault {
  kNone,
  kTimedOut,       // not all in within the head time-out
  kTooLarge,       // more bytes than maxHeadBytes
  kUriTooLong,     // the request line alone had more bytes than maxHeadBytes
  kTooManyFields,  // more header lines than maxHeaderFields
  kFieldTooLong,   // a header line longer than the library takes
  kMalformed,      // a request line, line end, field name or value the library would misread or skip
  kVersion,        // a well-formed request line of an HTTP major version other than 1
};

// The bytes a header field name may hold (a token): anything else before the colon, whitespace
// included, is a line that other HTTP implementations may read differently.
bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The longest chunk-size line (size and extensions) of a chunked body the server takes.
constexpr size_t kMaxChunkLineBytes = 1024;

constexpr char kSizeBareLF[] = "a chunk-size line ends in a bare LF, not CRLF";
constexpr char kBadEscape[] = "the request target holds a '%' not followed by two hexadecimal digits";

// The longest header line (line end included) the HTTP library takes; it would read a longer one whole
// before refusing it.
constexpr size_t kMaxFieldLineBytes = CPPHTTPLIB_HEADER_MAX_LENGTH;

// Follows a request head through the bounds and the grammar above, byte by byte, up to the empty line that
// ends it: the head a worker hands the HTTP library, and the head a parked connection collects before any
// worker serves it.  Bytes of a later HTTP/1 minor version are rewritten in place (see requestLineByte()).
class HeadScanner {
 public:
  explicit HeadScanner(const ConnectionLimits& limits) : limits_(&limits) {}

  // Takes the next `n` bytes of the head; false (and the fault set) at the first byte out of place or past
  // a bound.  Stops after the empty line that ends the head (complete()), `*used` telling the bytes taken.
  bool feed(char* p, size_t n, size_t* used = nullptr) {
    if (used != nullptr) *used = 0;
    if (fault_ != HeadFault::kNone) return false;
    for (size_t i = 0; i < n && !complete_; ++i) {
      if (used != nullptr) *used = i + 1;
      const char c = p[i];
      ++headBytes_;
      ++lineBytes_;
      if (headBytes_ > limits_->maxHeadBytes) {
        fault_ = !sawLineEnd_ ? HeadFault::kUriTooLong : HeadFault::kTooLarge;
        return false;
      }
      if (sawLineEnd_ && lineBytes_ > kMaxFieldLineBytes) {   // a header line, not the request line
        fault_ = HeadFault::kFieldTooLong;
        return false;
      }
      if (c == '\n') {
        // Only CRLF ends a line: a proxy in front may not take a bare LF as a line end, and would then
        // see other requests in the bytes than the server does.
        if (lastByte_ != '\r') return malformedHead("a line of the request head ends in a bare LF, not CRLF");
        // A blank line ends the head and is no header line.
        const bool blank = lineBytes_ == 2;
        if (!blank && sawLineEnd_ && !colonSeen_) return malformedHead("a header line has no colon");
        if (!sawLineEnd_ && major_ != '1') {   // the request line, whole and well-formed
          fault_ = HeadFault::kVersion;
          return false;
        }
        // The Host field names the target's authority: an HTTP/1.1 request without it is incomplete, and
        // two of them may name two different ones.
        if (blank && major_ == '1' && minor_ != '0' && hostFields_ == 0)
          return malformedHead("an HTTP/1.1 request must carry a Host header field");
        if (!blank && ++headLines_ > limits_->maxHeaderFields + 1) {   // the request line and the fields
          fault_ = HeadFault::kTooManyFields;
          return false;
        }
        if (blank) complete_ = true;
        sawLineEnd_ = true;
        colonSeen_ = false;
        lineBytes_ = 0;
      } else if (lastByte_ == '\r') {
        return malformedHead("the request head holds a CR that does not end a line");
      } else if (c == '\0') {
        return malformedHead("the request head holds a NUL byte");
      } else if (!sawLineEnd_) {
        if (!requestLineByte(p[i])) return false;
      } else if (!colonSeen_ && c != '\r') {   // the name of a header field
        if (c == ':') {
          if (lineBytes_ == 1) return malformedHead("a header field has an empty name");
          colonSeen_ = true;
          if (nameIsHost_ && lineBytes_ == 5 && ++hostFields_ > 1)
            return malformedHead("a request may carry only one Host header field");
        } else if (isTokenChar(c)) {
          const char lower = static_cast<char>(c | 0x20);
          nameIsHost_ = (lineBytes_ == 1 || nameIsHost_) && lineBytes_ <= 4 && lower == "host"[lineBytes_ - 1];
        } else {
          // The library would skip such a line or read the name without the whitespace: either way not
          // what every proxy makes of it.
          return malformedHead(lineBytes_ == 1 && (c == ' ' || c == '\t')
                                   ? "a header line starts with whitespace (obsolete line folding)"
                                   : "a header field name holds whitespace or another byte a name cannot hold");
        }
      } else if (c != '\r' && c != '\t' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)) {
        // A field value: the library takes control bytes in it, other implementations refuse them or
        // take them for line ends.  Bytes 0x80-0xFF (obsolete text) are taken.
        return malformedHead("a header field value holds a control byte");
      }
      lastByte_ = c;
    }
    return true;
  }

  bool complete() const { return complete_; }
  HeadFault fault() const { return fault_; }
  void timedOut() { fault_ = HeadFault::kTimedOut; }
  // Why the head was refused as malformed (nullptr: it was not).
  const char* malformed() const { return malformed_; }
  // The request line has not ended yet.
  bool inRequestLine() const { return !sawLineEnd_; }
  // Whether the last byte taken was a '?' inside the target's query (not the one that begins it); the
  // library splits the target at every '?', so such a byte is handed to it as "%3F", which its query
  // decoding turns back into '?'.
  bool takeQueryQuestion() {
    const bool q = queryQuestion_;
    queryQuestion_ = false;
    return q;
  }

 private:
  enum class LineState { kMethod, kTarget, kVersion };

  // Follows a byte of the request line other than its final LF through "method SP target SP HTTP/d.d CR";
  // false (and the fault set) at the first byte out of place.  The library splits the line at any run of
  // spaces and drops leading and trailing ones: left to it, "GET  /x HTTP/1.1 " would be served, and a
  // proxy in front might read it otherwise.  A later minor version of HTTP/1 ("HTTP/1.2") is served as
  // HTTP/1.1, the highest one here: its minor digit is rewritten in place before the library, which takes
  // 1.0 and 1.1 only, sees it, so the request follows the HTTP/1.1 rules from there on (Host required,
  // kept alive) and is answered as HTTP/1.1.
  bool requestLineByte(char& c) {
    static const char kForm[] = "the request line is not a method, a target and a version, each after a single space";
    const bool space = c == ' ';
    switch (lineState_) {
      case LineState::kMethod:
        if (space && partBytes_ > 0) return nextPart(LineState::kTarget);
        if (space || c == '\t' || c == '\r') return malformedHead(kForm);
        if (!isTokenChar(c)) return malformedHead("the request method holds a byte a method cannot hold");
        break;
      case LineState::kTarget:
        if (space && partBytes_ > 0) {
          if (escapeLeft_ > 0) return malformedHead(kBadEscape);
          return nextPart(LineState::kVersion);
        }
        if (space || c == '\r') return malformedHead(kForm);
        if (!targetByte(c)) return false;
        break;
      case LineState::kVersion: {
        static const char kVersion[] = "HTTP/0.0";   // a '0' stands for any digit
        const char* const bad = space || c == '\t' ? kForm : "the request line's version is not HTTP/digit.digit";
        if (partBytes_ == sizeof kVersion - 1) return c == '\r' || malformedHead(bad);
        const char want = kVersion[partBytes_];
        if (want == '0' ? (c < '0' || c > '9') : c != want) return malformedHead(bad);
        if (partBytes_ == 5) major_ = c;
        if (partBytes_ == 7) {
          minor_ = c;
          if (major_ == '1' && c > '1') c = '1';
        }
        break;
      }
    }
    ++partBytes_;
    return true;
  }

  // Follows a byte of the request target other than the space that ends it.  The library decodes the
  // target's path before routing it, also escapes no proxy decodes ("%u0063") and escapes that change its
  // segments ("%2F" becomes a '/'), so a proxy routing by path would see another path than the server;
  // such targets, malformed escapes, fragments and bytes a URI cannot hold are refused.
  bool targetByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f)
      return malformedHead(c == '\t' ? "the request target holds a control byte (a tab)"
                                     : "the request target holds a control byte");
    if (u >= 0x80) return malformedHead("the request target holds a byte above 0x7F (it must be percent-encoded)");
    if (escapeLeft_ > 0) {
      const int digit = hexValue(c);
      if (digit < 0) return malformedHead(kBadEscape);
      escapeValue_ = escapeValue_ << 4 | digit;
      if (--escapeLeft_ == 0 && escapeValue_ == 0)
        return malformedHead("the request target holds an encoded NUL byte (%00)");
      if (escapeLeft_ == 0 && escapeValue_ == '/' && !inQuery_)
        return malformedHead("the request target's path holds an encoded '/' (%2F)");
      return true;
    }
    if (c == '%') {
      escapeLeft_ = 2;
      escapeValue_ = 0;
    } else if (c == '?') {
      // A '?' within the query is data (RFC 3986); the library would take the target for malformed.
      queryQuestion_ = inQuery_;
      inQuery_ = true;
    } else if (c == '#') {
      return malformedHead("the request target holds a fragment ('#')");
    } else if (std::strchr("\"<>\\^`{|}", c) != nullptr) {
      // Bytes no URI holds unencoded: clients percent-encode them, and proxies and other servers differ on
      // what they make of a raw one (refuse it, encode it, or pass it on as it is).
      return malformedHead("the request target holds a byte a URI cannot hold unencoded (one of \" < > \\ ^ ` { | })");
    }
    return true;
  }

  bool nextPart(LineState next) {
    lineState_ = next;
    partBytes_ = 0;
    return true;
  }

  bool malformedHead(const char* why) {
    fault_ = HeadFault::kMalformed;
    malformed_ = why;
    return false;
  }

  const ConnectionLimits* limits_;
  HeadFault fault_ = HeadFault::kNone;
  bool complete_ = false;     // the empty line that ends the head was taken
  // The head read so far: its bytes, the bytes of its current line, its non-blank lines.
  size_t headBytes_ = 0, lineBytes_ = 0, headLines_ = 0;
  bool sawLineEnd_ = false;   // the request line has ended
  bool colonSeen_ = false;    // the current header line's name has ended
  char lastByte_ = 0;
  // The part of the request line being read, and its bytes so far; the version's digits once read.
  LineState lineState_ = LineState::kMethod;
  size_t partBytes_ = 0;
  char major_ = 0, minor_ = 0;
  // The target's percent escape being read: its hexadecimal digits still to come and its value so far;
  // whether the target's query has begun.
  int escapeLeft_ = 0, escapeValue_ = 0;
  bool inQuery_ = false;
  bool queryQuestion_ = false;   // the last byte taken was a '?' inside the query
  bool nameIsHost_ = false;   // the header field name read so far is a prefix of "Host" (any case)
  size_t hostFields_ = 0;
  const char* malformed_ = nullptr;
};

// The bytes of a request head collected while its connection is parked, up to the head's end or its first
// fault, so that a worker takes the connection only once it has a head to serve: a client sending its head
// slowly holds no worker.  The one empty line allowed before a request is skipped as the stream skips it.
class HeadCollector {
 public:
  enum class State { kMore, kComplete, kFault };

  explicit HeadCollector(const ConnectionLimits& limits) : head_(limits) {}

  // Adds `n` bytes read from the connection and follows the head through them.
  State add(const char* p, size_t n) {
    bytes_.append(p, n);
    if (state_ != State::kMore) return state_;
    if (!blankChecked_) {
      if (bytes_.empty() || (bytes_[0] == '\r' && bytes_.size() < 2)) return state_;
      if (bytes_[0] == '\r' && bytes_[1] == '\n') scanned_ = 2;
      blankChecked_ = true;
    }
    size_t used = 0;
    if (!head_.feed(&bytes_[scanned_], bytes_.size() - scanned_, &used)) return state_ = State::kFault;
    scanned_ += used;
    return state_ = head_.complete() ? State::kComplete : State::kMore;
  }
  // The connection's head deadline passed before the head was complete.
  void timedOut() {
    head_.timedOut();
    state_ = State::kFault;
  }

  State state() const { return state_; }
  bool empty() const { return bytes_.empty(); }
  size_t size() const { return bytes_.size(); }
  // Bytes beyond what the head needs to reach its decision are not wanted: at most this many are read.
  size_t wanted(const ConnectionLimits& limits) const {
    const size_t most = size_t{limits.maxHeadBytes} + 2 + kReadBufBytes;
    return state_ == State::kMore && bytes_.size() < most ? most - bytes_.size() : 0;
  }
  const HeadScanner& head() const { return head_; }
  std::string take() { return std::move(bytes_); }

  static constexpr size_t kReadBufBytes = 4096;

 private:
  HeadScanner head_;
  std::string bytes_;
  size_t scanned_ = 0;         // bytes of bytes_ the scanner took (or skipped)
  bool blankChecked_ = false;  // whether the head starts with an empty line was decided
  State state_ = State::kMore;
};

// One connection's socket as the HTTP library's stream.  Reads go through a small buffer (the library
// reads a head one byte at a time), so bytes of a pipelined next request stay here between requests.
// While a head is being read (beginHead() .. endHead()) no read waits past the head deadline, the bytes
// and lines handed to the library are counted, and once the deadline has passed or a bound is crossed
// every read and write fails: the caller answers the client itself.  From the first byte of a final
// response no write waits past the response deadline, and once it has passed every write fails.
class ConnectionStream final : public httplib::Stream {
 public:
  // `received`: bytes of the connection read before (by the pool, while the connection was parked).
  ConnectionStream(socket_t sock, int readTimeoutMs, int writeTimeoutMs, const ConnectionLimits& limits,
                   std::string received)
      : sock_(sock), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs), limits_(limits),
        buf_(received.begin(), received.end()), bufEnd_(received.size()), head_(limits_) {
    if (buf_.size() < kReadBufBytes) buf_.resize(kReadBufBytes);
  }

  void beginHead(Clock::time_point deadline) {
    inHead_ = true;
    headDeadline_ = deadline;
    head_ = HeadScanner(limits_);
    escapeTail_ = 0;
    skippedBlank_ = false;
    bodyFault_ = BodyFault{};
    chunk_ = ChunkState::kNone;
    inResponse_ = responseClosed_ = false;
    bodyDeclared_ = bodyRead_ = 0;
    bodyUnbounded_ = false;
  }
  void endHead() { inHead_ = false; }
  // Notes how much body the request just parsed announces, so that a close after its response knows
  // whether the client may still be sending some of it.
  void expectBody(const httplib::Request& req) {
    bodyRead_ = 0;
    bodyUnbounded_ = req.has_header("Transfer-Encoding");
    bodyDeclared_ = 0;
    if (req.has_header("Content-Length")) {
      const std::string text = req.get_header_value("Content-Length");
      char* end = nullptr;
      bodyDeclared_ = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0') bodyUnbounded_ = true;
    }
    // Any other transfer coding is refused before its body is read; a chunked body is checked as it is read.
    if (bodyUnbounded_ && req.has_header("Transfer-Encoding")) {
      chunk_ = ChunkState::kSize;
      chunkLeft_ = chunkLineBytes_ = 0;
      bodyDeadline_ = Clock::now() + std::chrono::milliseconds(limits_.chunkedBodyTimeoutMs);
    }
  }
  // Why the head was refused as malformed (nullptr: it was not).
  const char* malformed() const { return head_.malformed(); }
  // Why the first failed read of the current request's body failed.
  BodyFault bodyFault() const { return bodyFault_; }
  HeadFault headFault() const { return head_.fault(); }
  bool responseTimedOut() const { return responseTimedOut_; }
  // The last response told the client that the connection closes after it.
  bool responseClosed() const { return responseClosed_; }
  bool hasBuffered() const { return bufPos_ < bufEnd_; }
  // The client may have sent, or still be sending, bytes of the last request that were never read: a body
  // not read to its end, or anything already waiting.
  bool leftUnread() const {
    return bodyUnbounded_ || bodyRead_ < bodyDeclared_ || hasBuffered() || pollOne(sock_, POLLIN, 0) > 0;
  }
  void dropBuffered() { bufPos_ = bufEnd_ = 0; }
  // Reads what has arrived on the socket without waiting, when nothing is buffered; false when the client
  // closed the connection or it failed.
  bool readArrived() {
    if (hasBuffered()) return true;
    ssize_t n;
    do n = ::recv(sock_, buf_.data(), buf_.size(), MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    bufPos_ = 0;
    bufEnd_ = n > 0 ? static_cast<size_t>(n) : 0;
    return true;
  }
  const char* buffered() const { return &buf_[bufPos_]; }
  size_t bufferedBytes() const { return bufEnd_ - bufPos_; }

  bool is_readable() const override { return hasBuffered() || pollOne(sock_, POLLIN, readWaitMs()) > 0; }
  bool is_writable() const override {
    return head_.fault() == HeadFault::kNone && !responseTimedOut_ && pollOne(sock_, POLLOUT, writeWaitMs()) > 0;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (head_.fault() != HeadFault::kNone) return -1;
    if (escapeTail_ > 0 && size > 0) {   // the "3F" after the '%' that stands for a '?' in the query
      *ptr = escapeTail_ == 2 ? '3' : 'F';
      --escapeTail_;
      return 1;
    }
    if (!hasBuffered()) {
      if (inHead_ && Clock::now() >= headDeadline_) {
        head_.timedOut();
        return -1;
      }
      if (!inHead_ && chunk_ != ChunkState::kNone && Clock::now() >= bodyDeadline_)
        return bodyFailed(BodyFault::Kind::kTimedOut);
      const int ready = pollOne(sock_, POLLIN, readWaitMs());
      if (ready <= 0) {
        if (ready == 0 && inHead_ && Clock::now() >= headDeadline_) head_.timedOut();
        if (!inHead_) bodyFailed(ready == 0 ? BodyFault::Kind::kStalled : BodyFault::Kind::kClosed);
        return -1;
      }
      if (size >= kReadBufBytes && !inHead_) {   // a large body read skips the buffer
        const ssize_t n = recvSome(ptr, size);
        if (n <= 0) return bodyFailed(BodyFault::Kind::kClosed);
        bodyRead_ += static_cast<uint64_t>(n);
        if (chunk_ != ChunkState::kNone && !checkChunked(ptr, static_cast<size_t>(n))) return -1;
        return n;
      }
      const ssize_t n = recvSome(buf_.data(), buf_.size());
      if (n <= 0) return inHead_ ? n : bodyFailed(BodyFault::Kind::kClosed);
      bufPos_ = 0;
      bufEnd_ = static_cast<size_t>(n);
    }
    // One empty line before a request (some clients end a body with an extra CRLF) is skipped, as HTTP
    // asks of servers; the library would take it for an empty request line.
    if (inHead_ && !skippedBlank_ && bufEnd_ - bufPos_ >= 2 && buf_[bufPos_] == '\r' && buf_[bufPos_ + 1] == '\n') {
      skippedBlank_ = true;
      bufPos_ += 2;
      if (!hasBuffered()) return read(ptr, size);
    }
    // The request line goes to the library a byte at a time (as the library reads it anyway), so that a
    // '?' inside the query can be handed over as "%3F".
    const size_t n = std::min(inHead_ && head_.inRequestLine() ? size_t{1} : size, bufEnd_ - bufPos_);
    if (inHead_) {
      skippedBlank_ = true;   // only before the head's first byte
      if (!head_.feed(&buf_[bufPos_], n)) return -1;
      if (head_.takeQueryQuestion()) {
        *ptr = '%';
        ++bufPos_;
        escapeTail_ = 2;
        return 1;
      }
    }
    if (!inHead_) {
      if (chunk_ != ChunkState::kNone && !checkChunked(&buf_[bufPos_], n)) return -1;
      bodyRead_ += n;
    }
    std::memcpy(ptr, &buf_[bufPos_], n);
    bufPos_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (head_.fault() != HeadFault::kNone || responseTimedOut_) return -1;
    if (!inResponse_ && !isInterimResponse(ptr, size)) {
      inResponse_ = true;
      responseDeadline_ = Clock::now() + std::chrono::milliseconds(limits_.responseTimeoutMs);
      responseClosed_ = saysClose(ptr, size);
    } else if (inResponse_ && Clock::now() >= responseDeadline_) {
      responseTimedOut_ = true;
      return -1;
    }
    const ssize_t n = writeRaw(ptr, size, writeWaitMs());
    if (n < 0 && inResponse_ && Clock::now() >= responseDeadline_) responseTimedOut_ = true;
    return n;
  }

  // Sends all of `text` whatever became of the head (each send waiting at most the write time-out).
  bool writeAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = writeRaw(text.data() + done, text.size() - done, writeTimeoutMs_);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) addressOf(addr, len, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) addressOf(addr, len, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  enum class LineState { kMethod, kTarget, kVersion };

  // Follows the `n` bytes of a chunked body about to be handed to the library through its grammar
  // (chunk-size [extensions] CRLF, data CRLF, ..., 0 CRLF, trailer lines, CRLF); false (and the fault set)
  // at the first byte out of place.  The library itself takes some malformed bodies (a bare LF, no CRLF
  // after a chunk's data) and then reads the rest of them as the next request.  Chunk-size lines and
  // trailers are bounded, so that a body of endless extensions cannot grow the library's line buffer.
  bool checkChunked(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const char c = p[i];
      switch (chunk_) {
        case ChunkState::kData: {   // skip the rest of the chunk's data at once
          const size_t take = static_cast<size_t>(std::min<uint64_t>(chunkLeft_, n - i));
          chunkLeft_ -= take;
          i += take - 1;
          if (chunkLeft_ == 0) chunk_ = ChunkState::kDataCR;
          continue;
        }
        case ChunkState::kSize:
        case ChunkState::kSizeMore: {
          const int digit = hexValue(c);
          if (digit >= 0) {
            if (chunkLeft_ > (UINT64_MAX >> 4)) return malformedBody("a chunk size is larger than 2^64");
            chunkLeft_ = (chunkLeft_ << 4) | static_cast<uint64_t>(digit);
            chunk_ = ChunkState::kSizeMore;
          } else if (chunk_ == ChunkState::kSizeMore && (c == ';' || c == ' ' || c == '\t')) {
            chunk_ = ChunkState::kExtension;
          } else if (chunk_ == ChunkState::kSizeMore && c == '\r') {
            chunk_ = ChunkState::kSizeLF;
          } else if (chunk_ == ChunkState::kSizeMore && c == '\n') {
            return malformedBody(kSizeBareLF);
          } else {
            return malformedBody("a chunk size is not a hexadecimal number");
          }
          break;
        }
        case ChunkState::kExtension:
          if (c == '\r') chunk_ = ChunkState::kSizeLF;
          else if (c == '\n') return malformedBody(kSizeBareLF);
          break;
        case ChunkState::kSizeLF:
          if (c != '\n') return malformedBody("a chunk-size line ends in a bare CR");
          chunk_ = chunkLeft_ == 0 ? ChunkState::kTrailerStart : ChunkState::kData;
          chunkLineBytes_ = 0;
          continue;
        case ChunkState::kDataCR:
          if (c != '\r') return malformedBody("a chunk's data is not followed by CRLF");
          chunk_ = ChunkState::kDataLF;
          break;
        case ChunkState::kDataLF:
          if (c != '\n') return malformedBody("a chunk's data is not followed by CRLF");
          chunk_ = ChunkState::kSize;
          continue;
        case ChunkState::kTrailerStart:
        case ChunkState::kTrailer:
          if (c == '\n') return malformedBody("a trailer line ends in a bare LF, not CRLF");
          if (c == '\r') chunk_ = chunk_ == ChunkState::kTrailerStart ? ChunkState::kEndLF : ChunkState::kTrailerLF;
          else chunk_ = ChunkState::kTrailer;
          break;
        case ChunkState::kTrailerLF:
          if (c != '\n') return malformedBody("a trailer line ends in a bare CR");
          chunk_ = ChunkState::kTrailerStart;
          break;
        case ChunkState::kEndLF:
          if (c != '\n') return malformedBody("a chunked body does not end in CRLF");
          chunk_ = ChunkState::kDone;
          break;
        case ChunkState::kFailed:   // refused already, for the reason given then
          return false;
        case ChunkState::kDone:
        case ChunkState::kNone:
          return malformedBody("bytes past the end of a chunked body");
      }
      // Only size lines and trailers get here; the data of chunks does not count.
      if (++chunkLineBytes_ > (chunk_ >= ChunkState::kTrailerStart ? limits_.maxHeadBytes : kMaxChunkLineBytes))
        return malformedBody(chunk_ >= ChunkState::kTrailerStart ? "the trailer of a chunked body is too large"
                                                                  : "a chunk-size line is too long");
    }
    return true;
  }

  bool malformedBody(const char* why) {
    bodyFault_ = BodyFault{BodyFault::Kind::kMalformed, why};
    chunk_ = ChunkState::kFailed;
    return false;
  }

  // Notes why a read of the body failed (the first reason of a request counts) and returns -1.
  ssize_t bodyFailed(BodyFault::Kind kind) {
    if (bodyFault_.kind == BodyFault::Kind::kNone) bodyFault_.kind = kind;
    return -1;
  }

  // An interim response ("HTTP/1.1 100 Continue") is written whole by one call and is not the response.
  static bool isInterimResponse(const char* ptr, size_t size) {
    static const char kInterim[] = "HTTP/1.1 1";
    return size >= sizeof kInterim - 1 && std::memcmp(ptr, kInterim, sizeof kInterim - 1) == 0;
  }

  // The first write of a final response is its whole head (the library writes it in one piece): does it
  // carry "Connection: close", as the library and the handlers write it?
  static bool saysClose(const char* ptr, size_t size) {
    static const char kClose[] = "\r\nConnection: close\r\n";
    const char* end = ptr + size;
    const char* headEnd = std::search(ptr, end, "\r\n\r\n", "\r\n\r\n" + 4);
    if (headEnd != end) end = headEnd + 2;
    return std::search(ptr, end, kClose, kClose + sizeof kClose - 1) != end;
  }

  // How long a read may wait for the socket now: the read time-out, cut short by a nearer head deadline.
  int readWaitMs() const { return inHead_ ? until(headDeadline_, readTimeoutMs_) : readTimeoutMs_; }
  // How long a write may wait for the socket now: the write time-out, cut short by the response deadline.
  int writeWaitMs() const { return inResponse_ ? until(responseDeadline_, writeTimeoutMs_) : writeTimeoutMs_; }

  static int until(Clock::time_point deadline, int capMs) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, capMs)));
  }

  ssize_t recvSome(char* ptr, size_t size) {
    for (;;) {
      const ssize_t n = ::recv(sock_, ptr, size, 0);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  // Sends what the socket takes of `ptr` within `waitMs`.  The send itself never blocks: the library set
  // the socket's own send time-out to the write time-out, and a blocking send of a large response to a slow
  // reader would wait that long whatever the deadline left.
  ssize_t writeRaw(const char* ptr, size_t size, int waitMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      if (pollOne(sock_, POLLOUT, until(end, waitMs)) <= 0) return -1;
      const ssize_t n = ::send(sock_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return n;
    }
  }

  const socket_t sock_;
  const int readTimeoutMs_, writeTimeoutMs_;
  const ConnectionLimits limits_;
  static constexpr size_t kReadBufBytes = 4096;
  std::vector<char> buf_;
  size_t bufPos_ = 0, bufEnd_ = 0;
  bool inHead_ = false;
  HeadScanner head_;
  bool skippedBlank_ = false;   // the empty line allowed before this head was skipped
  int escapeTail_ = 0;          // bytes of "3F" still to hand over after a '%' standing for a query's '?'
  Clock::time_point headDeadline_{};
  BodyFault bodyFault_;
  // Where a chunked body being read is in its grammar (kNone: the body is not chunked), and the bytes left
  // of the current chunk's data (while in kData; the size being read before it).
  enum class ChunkState {
    kNone, kFailed, kSize, kSizeMore, kExtension, kSizeLF, kData, kDataCR, kDataLF,
    kTrailerStart, kTrailer, kTrailerLF, kEndLF, kDone,
  };
  ChunkState chunk_ = ChunkState::kNone;
  Clock::time_point bodyDeadline_{};
  uint64_t chunkLeft_ = 0;
  size_t chunkLineBytes_ = 0;   // bytes of chunk-size lines since the last data, or of the trailer
  bool inResponse_ = false, responseTimedOut_ = false, responseClosed_ = false;
  Clock::time_point responseDeadline_{};
  // The body the current request announces (a length, or one of unknown length) and its bytes read so far.
  uint64_t bodyDeclared_ = 0, bodyRead_ = 0;
  bool bodyUnbounded_ = false;
};

// The status line and message a client gets for a head that was not taken.
std::pair<std::string, std::string> headFaultAnswer(HeadFault fault, const ConnectionLimits& limits,
                                                    const char* malformed) {
  const std::string maxBytes = std::to_string(limits.maxHeadBytes);
  switch (fault) {
    case HeadFault::kMalformed:
      return {"400 Bad Request", malformed != nullptr ? malformed : "malformed request head"};
    case HeadFault::kVersion:
      return {"505 HTTP Version Not Supported",
              "only HTTP/1 requests are served here: HTTP/1.0 and HTTP/1.1, a later HTTP/1 minor version as HTTP/1.1"};
    case HeadFault::kTimedOut:
      return {"408 Request Timeout", "the request head did not arrive within " + std::to_string(limits.headTimeoutMs) +
                                         " ms (--header-timeout-ms)"};
    case HeadFault::kUriTooLong:
      return {"414 URI Too Long", "the request line is longer than " + maxBytes + " bytes (--max-header-bytes)"};
    case HeadFault::kTooManyFields:
      return {"431 Request Header Fields Too Large",
              "the request has more than " + std::to_string(limits.maxHeaderFields) + " header fields (--max-header-fields)"};
    case HeadFault::kFieldTooLong:
      return {"431 Request Header Fields Too Large",
              "a header field is longer than " + std::to_string(kMaxFieldLineBytes) + " bytes"};
    case HeadFault::kTooLarge:
    case HeadFault::kNone:
      break;
  }
  return {"431 Request Header Fields Too Large",
          "the request line and headers are larger than " + maxBytes + " bytes (--max-header-bytes)"};
}

// The whole response to a head that was not taken; the connection closes after it.
std::string headFaultResponse(HeadFault fault, const ConnectionLimits& limits, const char* malformed) {
  const auto answer = headFaultAnswer(fault, limits, malformed);
  const std::string body = errorJson(answer.second);
  return "HTTP/1.1 " + answer.first + "\r\nConnection: close\r\nContent-Type: application/json\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The stream of the connection the current thread serves, for handlers asking why a body read failed.
thread_local const ConnectionStream* tServing = nullptr;

// How long a connection closed because the server stops keeps dropping what its client still sends.
constexpr int kStopLingerMs = 100;

// Takes one of `slots` places counted in `taken`; false when all are taken.
bool takeSlot(std::atomic<uint32_t>& taken, uint32_t slots) {
  uint32_t now = taken.load(std::memory_order_relaxed);
  while (now < slots)
    if (taken.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) return true;
  return false;
}

// Closes a connection whose client may still be sending bytes of a request the server answered without
// reading them all (see ConnectionLimits::lingerTotalMs).  Past lingerShortMs it lingers on only in one of
// the lingerSlots counted in `longLingering`, and closes when none is free.  Ends within kStopLingerMs once
// `listening` is invalid: the server is stopping.
void closeLingering(socket_t sock, ConnectionStream& strm, const ConnectionLimits& limits,
                    const std::atomic<socket_t>& listening, std::atomic<uint32_t>& longLingering) {
  // The answer is queued: end it with FIN, then take in and drop what the client still sends, so that
  // closing does not meet unread bytes and reset the connection.
  ::shutdown(sock, SHUT_WR);
  strm.dropBuffered();
  const auto start = Clock::now();
  auto shortEnd = start + std::chrono::milliseconds(std::min(limits.lingerShortMs, limits.lingerTotalMs));
  auto fullEnd = start + std::chrono::milliseconds(limits.lingerTotalMs);
  const auto idle = std::chrono::milliseconds(limits.lingerIdleMs);
  auto lastData = start;
  // A slot is taken only by a close that outlasts the short time: most clients close their side at once.
  bool slot = false;
  constexpr int kSliceMs = 50;   // a stop is noticed this late at most
  bool stopSeen = false;
  char sink[16384];
  for (;;) {
    const auto now = Clock::now();
    // A stopping server ends the lingering soon, though not at once: bytes still arriving then would meet
    // a reset.
    if (!stopSeen && listening == INVALID_SOCKET) {
      stopSeen = true;
      fullEnd = std::min(fullEnd, now + std::chrono::milliseconds(kStopLingerMs));
      shortEnd = std::min(shortEnd, fullEnd);
    }
    if (now >= lastData + idle || now >= fullEnd) break;
    if (!slot && now >= shortEnd && !(slot = takeSlot(longLingering, std::max<uint32_t>(limits.lingerSlots, 1))))
      break;
    const auto stopAt = std::min(slot ? fullEnd : shortEnd, lastData + idle);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(stopAt - now).count();
    const int r = pollOne(sock, POLLIN, static_cast<int>(std::min<long long>(left, kSliceMs)));
    if (r < 0) break;
    if (r == 0) continue;
    const ssize_t n = ::recv(sock, sink, sizeof sink, MSG_DONTWAIT);
    if (n == 0) break;   // the client closed its side: nothing more will come
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      break;
    }
    lastData = Clock::now();
  }
  if (slot) longLingering.fetch_sub(1, std::memory_order_relaxed);
  ::close(sock);
}

// A request target in absolute form ("http://host:port/v2/health/live", as sent to a proxy) names the path
// after its authority; the routes match paths alone.
void toOriginForm(std::string& path) {
  size_t start = 0;
  if (path.size() >= 7 && strncasecmp(path.c_str(), "http://", 7) == 0) start = 7;
  else if (path.size() >= 8 && strncasecmp(path.c_str(), "https://", 8) == 0) start = 8;
  if (start == 0) return;
  const size_t slash = path.find('/', start);
  if (slash == std::string::npos) path = "/";
  else path.erase(0, slash);
}

// Closes a connection the server is done with.
void closeConnection(socket_t sock) {
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

// Whether the client has sent bytes not read yet (a request begun), without waiting.
bool bytesWaiting(socket_t sock) {
  char byte;
  ssize_t n;
  do n = ::recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  return n > 0;
}

// Begins closing a connection between requests because the server stops: a request that has begun to
// arrive (`begun`) is answered 503 (the server takes no new request), and the connection's end goes out as
// FIN.  The caller then reads and drops what still arrives for a moment before it closes: closed at once,
// with a request still arriving, the kernel would answer it with a reset, and a client whose request
// crossed the close would see its connection broken rather than closed.
void beginStopClose(socket_t sock, bool begun) {
  if (begun) {
    static const std::string answer = [] {
      const std::string body = errorJson("the server is shutting down");
      return "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: application/json\r\n"
             "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }();
    // A connection between requests has nothing else queued: the short answer fits its send buffer.
    ssize_t sent;
    do sent = ::send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
  }
  ::shutdown(sock, SHUT_WR);
}

// Closes a connection between requests because the server stops (see beginStopClose()), dropping what
// the client still sends until it closes its side or kStopLingerMs pass.
void closeAtStop(socket_t sock, bool begun) {
  beginStopClose(sock, begun);
  const auto end = Clock::now() + std::chrono::milliseconds(kStopLingerMs);
  char sink[4096];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0 || pollOne(sock, POLLIN, static_cast<int>(left)) <= 0) break;
    ssize_t n;
    do n = ::recv(sock, sink, sizeof sink, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
  }
  ::close(sock);
}

}  // namespace

// Set on the thread of the listening loop while it hands a connection it accepted to the pool: the
// connection is parked at once rather than given a worker.
thread_local bool tAccepting = false;

// The worker threads of a listening loop (the library makes it through new_task_queue and shuts it down
// when the loop ends), and the connections waiting for a request without a worker.  A parked connection
// is watched by one thread (epoll), which reads what arrives of the next request's head: once the head is
// complete, the connection and the bytes read are handed to a worker to serve.  So a worker is taken only
// by a request whose head is all here, and a client sending its head slowly holds none.  The watcher
// itself closes a parked connection when its idle deadline passes without a byte, when the client closes
// or breaks it, or at shutdown; and answers a head that broke a bound, the grammar or its deadline, then
// drops what the client still sends for a while (see closeLingering()) before closing.
class ConnectionPool final : public httplib::TaskQueue {
 public:
  // Serves `sock` on a worker, with `received` (bytes read of the next request's head).  `headDeadline`:
  // unset (the epoch) when the head is complete; otherwise the worker reads the rest of the head itself,
  // by then (when some of it was received) and does not park the connection again before.
  using Serve =
      std::function<void(socket_t sock, size_t left, std::string received, Clock::time_point headDeadline)>;

  // `limits` and `events` are the server's, which outlives the pool.  `readTimeoutMs`: the longest silence
  // within a head before the connection is dropped.
  ConnectionPool(size_t threads, const ConnectionLimits& limits, const ConnectionEvents& events, int readTimeoutMs,
                 Serve serve)
      : workers_(threads),
        limits_(limits),
        events_(events),
        readTimeout_(readTimeoutMs),
        budget_(std::max(kMinHeadBudget, 1024 * (size_t{limits.maxHeadBytes} + HeadCollector::kReadBufBytes))),
        serve_(std::move(serve)) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ >= 0 && wake_ >= 0) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = wake_;
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) == 0) watcher_ = std::thread([this] { watch(); });
    }
  }
  ~ConnectionPool() override {
    shutdown();
    if (epoll_ >= 0) ::close(epoll_);
    if (wake_ >= 0) ::close(wake_);
  }

  // The listening loop hands over each connection it accepted here; it runs on the loop's thread, where
  // the server parks the connection (see BoundedServer::process_and_close_socket()).
  void enqueue(std::function<void()> fn) override {
    tAccepting = true;
    fn();
    tAccepting = false;
  }

  // Serves `sock` on a worker: for a connection the pool cannot take.
  void serveOnWorker(socket_t sock, size_t left) {
    workers_.enqueue([this, sock, left] { serve_(sock, left, std::string(), Clock::time_point::max()); });
  }

  // Closes the parked connections, then lets the workers finish what they were given.  The library calls
  // it once its loop stopped accepting.
  void shutdown() override {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (shutDown_) return;
      shutDown_ = true;
    }
    if (watcher_.joinable()) {
      wake();
      watcher_.join();
    }
    workers_.shutdown();
  }

  // Takes `sock`, which may still serve `left` requests, with `head`, the bytes of its next request's head
  // read so far (not yet complete), until the head is complete or `until` passes.  False when the pool
  // takes no connection (shutting down, or no watcher): the caller keeps the socket, and `head`.
  bool park(socket_t sock, size_t left, HeadCollector&& head, Clock::time_point until) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (shutDown_ || !watcher_.joinable()) return false;
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP;
      ev.data.fd = sock;
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, sock, &ev) != 0) return false;
      Parked c{left, until, std::move(head)};
      if (!c.head.empty()) {
        c.headEnd = until;
        c.until = std::min(until, Clock::now() + readTimeout_);
      }
      incoming_.emplace_back(sock, std::move(c));
    }
    wake();   // its deadline may be nearer than the watcher's
    return true;
  }

 private:
  struct Parked {
    size_t left;
    // The idle deadline; once a head began, the nearer of its deadline and the end of the longest silence
    // within it; while lingering, when the lingering ends.
    Clock::time_point until;
    HeadCollector head;
    Clock::time_point headEnd{};   // the head deadline, once a head began
    bool lingering = false;    // answered and half closed: what arrives is dropped until the close
    Clock::time_point lingerEnd{};
  };
  // The longest wait of the watcher: bounds how late a shut-down is noticed should the wake-up fail.
  static constexpr int kSliceMs = 1000;
  static constexpr size_t kMinHeadBudget = size_t{64} << 20;

  void wake() {
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) < 0) {
      // The counter cannot overflow from the few writes before the watcher reads it; the watcher also
      // wakes within kSliceMs.
    }
  }

  // Takes `sock` out of the watched set.
  void unwatch(socket_t sock) { ::epoll_ctl(epoll_, EPOLL_CTL_DEL, sock, nullptr); }

  void watch() {
    std::vector<epoll_event> events(64);
    int timeoutMs = kSliceMs;
    for (;;) {
      const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs);
      bool stopping = false;
      {
        std::lock_guard<std::mutex> g(mu_);
        stopping = shutDown_;
        for (auto& in : incoming_) {
          held_ += in.second.head.size();
          parked_.emplace(in.first, std::move(in.second));
        }
        incoming_.clear();
      }
      if (stopping) {
        closeAllAtStop();
        return;
      }
      for (int i = 0; i < n; ++i) {
        const socket_t sock = events[i].data.fd;
        if (sock == wake_) {
          uint64_t count;
          if (::read(wake_, &count, sizeof count) < 0) {
            // Nothing to read: another wake-up was taken already.
          }
          continue;
        }
        const auto it = parked_.find(sock);
        if (it != parked_.end() && !readable(sock, it->second)) parked_.erase(it);
      }
      const auto now = Clock::now();
      auto next = now + std::chrono::milliseconds(kSliceMs);
      for (auto it = parked_.begin(); it != parked_.end();) {
        if (it->second.until <= now && !expired(it->first, it->second, now)) {
          it = parked_.erase(it);
          continue;
        }
        next = std::min(next, it->second.until);
        ++it;
      }
      timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
    }
  }

  // The server stops: every parked connection is closed as closeAtStop() closes one, all at once, within
  // kStopLingerMs.
  void closeAllAtStop() {
    for (auto& p : parked_) {
      if (p.second.lingering) continue;   // answered and half closed already
      beginStopClose(p.first, !p.second.head.empty() || bytesWaiting(p.first));
      held_ -= p.second.head.size();
      p.second.head.take();
      p.second.lingering = true;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(kStopLingerMs);
    std::vector<epoll_event> events(64);
    while (!parked_.empty()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) break;
      const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), static_cast<int>(left));
      for (int i = 0; i < n; ++i) {
        if (events[i].data.fd == wake_) {   // the stop's own wake-up: taken, or it would fire again at once
          uint64_t count;
          if (::read(wake_, &count, sizeof count) < 0) {
            // Taken already.
          }
          continue;
        }
        const auto it = parked_.find(events[i].data.fd);
        if (it != parked_.end() && !readable(it->first, it->second)) parked_.erase(it);
      }
    }
    for (auto& p : parked_) {
      unwatch(p.first);
      ::close(p.first);
    }
    parked_.clear();
  }

  // Reads what arrived on a parked connection; false once the connection left the pool (handed to a
  // worker, or closed).
  bool readable(socket_t sock, Parked& c) {
    char buf[HeadCollector::kReadBufBytes];
    if (c.lingering) {
      // At most a few reads per wake-up, so that a client flooding its lingering connection does not
      // keep the watcher from the others.
      for (int reads = 0; reads < 4; ++reads) {
        const ssize_t r = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (r <= 0) {   // the client closed its side, or the connection failed
          unwatch(sock);
          ::close(sock);
          return false;
        }
        c.until = std::min(c.lingerEnd, Clock::now() + std::chrono::milliseconds(limits_.lingerIdleMs));
      }
      return true;
    }
    for (;;) {
      const size_t want = std::min(sizeof buf, c.head.wanted(limits_));
      if (held_ + want > budget_) {
        // The heads held here are as large as allowed: this one is read by a worker, as an HTTP server
        // without a watcher would.  So clients sending many large heads slowly can hold no more memory
        // than the budget, and at worst hold the workers as they would there.
        unwatch(sock);
        held_ -= c.head.size();
        const size_t left = c.left;
        const auto deadline = c.head.empty() ? Clock::time_point::max() : c.headEnd;
        workers_.enqueue([this, sock, left, deadline, bytes = c.head.take()] { serve_(sock, left, bytes, deadline); });
        return false;
      }
      const ssize_t r = want == 0 ? 0 : ::recv(sock, buf, want, MSG_DONTWAIT);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (r <= 0) {   // closed before a whole head, or failed
        unwatch(sock);
        held_ -= c.head.size();
        closeConnection(sock);
        return false;
      }
      // From the first byte of a request, its head has the head time-out, and no silence within it may be
      // longer than the read time-out.
      const auto now = Clock::now();
      if (c.head.empty()) c.headEnd = now + std::chrono::milliseconds(limits_.headTimeoutMs);
      c.until = std::min(c.headEnd, now + readTimeout_);
      held_ += static_cast<size_t>(r);
      switch (c.head.add(buf, static_cast<size_t>(r))) {
        case HeadCollector::State::kMore:
          continue;
        case HeadCollector::State::kComplete: {
          unwatch(sock);
          const size_t left = c.left;
          held_ -= c.head.size();
          workers_.enqueue([this, sock, left, bytes = c.head.take()] { serve_(sock, left, bytes, Clock::time_point{}); });
          return false;
        }
        case HeadCollector::State::kFault:
          return refuse(sock, c);
      }
    }
  }

  // A parked connection's deadline passed; false once it left the pool.  A head begun and not complete in
  // time is answered; one that fell silent for the read time-out is dropped, as a silent client is.
  bool expired(socket_t sock, Parked& c, Clock::time_point now) {
    if (!c.lingering && !c.head.empty() && now >= c.headEnd) {
      c.head.timedOut();
      return refuse(sock, c, now);
    }
    unwatch(sock);
    held_ -= c.head.size();
    if (c.lingering) ::close(sock);   // its side is shut down already
    else closeConnection(sock);
    return false;
  }

  // Answers a head that was not taken (notifying its event first), and keeps the connection to drop what
  // the client still sends; false when the answer could not be sent and the connection was closed.
  bool refuse(socket_t sock, Parked& c, Clock::time_point now = Clock::now()) {
    const HeadScanner& head = c.head.head();
    const HeadFault fault = head.fault();
    const std::function<void()>* event = fault == HeadFault::kTimedOut ? &events_.headTimedOut
                                         : fault != HeadFault::kMalformed && fault != HeadFault::kVersion
                                             ? &events_.headTooLarge
                                             : nullptr;
    if (event != nullptr && *event) (*event)();
    const std::string answer = headFaultResponse(fault, limits_, head.malformed());
    held_ -= c.head.size();
    c.head.take();   // the head's bytes are not needed any more
    // A connection waiting for its head has nothing else queued: the short answer fits its send buffer.
    ssize_t sent;
    do sent = ::send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(answer.size())) {
      unwatch(sock);
      closeConnection(sock);
      return false;
    }
    // End the answer with FIN and drop what the client still sends, so that closing does not meet unread
    // bytes and reset the connection before the client read its answer.
    ::shutdown(sock, SHUT_WR);
    c.lingering = true;
    c.lingerEnd = now + std::chrono::milliseconds(limits_.lingerTotalMs);
    c.until = std::min(c.lingerEnd, now + std::chrono::milliseconds(limits_.lingerIdleMs));
    return true;
  }

  httplib::ThreadPool workers_;
  const ConnectionLimits& limits_;
  const ConnectionEvents& events_;
  const std::chrono::milliseconds readTimeout_;
  // The bytes of heads the watcher may hold at once (held_, the watcher's own): the largest heads of 1024
  // connections, and at least kMinHeadBudget.
  const size_t budget_;
  size_t held_ = 0;
  Serve serve_;
  int epoll_ = -1;
  int wake_ = -1;
  std::mutex mu_;
  std::vector<std::pair<socket_t, Parked>> incoming_;   // mu_: parked, not yet taken in by the watcher
  bool shutDown_ = false;                               // mu_
  std::unordered_map<socket_t, Parked> parked_;         // the watcher's own
  std::thread watcher_;
};

BoundedServer::BoundedServer() {
  // The library adds its Keep-Alive parameters whenever the request did not ask to close, also to a
  // response a handler marked "Connection: close"; such a response says only that it closes.
  set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    // A stopping server answers the request it is handling and then closes the connection: the response
    // says so, so that the client sends its next request elsewhere rather than into the close.  An
    // HTTP/1.0 connection is closed after every response (the library keeps one open only for an exact
    // "Keep-Alive"); the response says so rather than offer Keep-Alive parameters.
    bool close = svr_sock_ == INVALID_SOCKET || req.version == "HTTP/1.0";
    // A handler closing the connection set "Connection: close", and the library adds its own when the
    // request asked to close: the response carries one.
    const size_t fields = res.get_header_value_count("Connection");
    for (size_t i = 0; i < fields && !close; ++i) close = res.get_header_value("Connection", i) == "close";
    if (!close) return;
    res.headers.erase("Connection");
    res.set_header("Connection", "close");
    res.headers.erase("Keep-Alive");
  });
}

void BoundedServer::setLimits(const ConnectionLimits& limits, ConnectionEvents events) {
  limits_ = limits;
  events_ = std::move(events);
}

void BoundedServer::setThreads(uint32_t threads) {
  new_task_queue = [this, threads] {
    auto* pool = new ConnectionPool(std::max<uint32_t>(threads, 1), limits_, events_,
                                    toMs(read_timeout_sec_, read_timeout_usec_),
                                    [this](socket_t sock, size_t left, std::string received, Clock::time_point head) {
                                      serveConnection(sock, left, std::move(received), head);
                                    });
    pool_ = pool;
    return pool;
  };
}

bool BoundedServer::setBacklog(int backlog) {
  const socket_t sock = svr_sock_;
  return sock != INVALID_SOCKET && ::listen(sock, backlog) == 0;   // listen() again only resizes the queue
}

BodyFault BoundedServer::bodyFault() { return tServing != nullptr ? tServing->bodyFault() : BodyFault{}; }

bool BoundedServer::waitForRequest(socket_t sock) const {
  const auto until = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
  // Short slices, so that a stopping server does not wait out every idle connection.
  constexpr int kSliceMs = 100;
  while (svr_sock_ != INVALID_SOCKET) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    const int r = pollOne(sock, POLLIN, static_cast<int>(std::min<long long>(left, kSliceMs)));
    if (r != 0) return r > 0;
  }
  return false;
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
  // A connection just accepted waits for its first request's head parked, without a worker.
  ConnectionPool* pool = pool_.load();
  if (pool != nullptr && tAccepting) {
    const auto idleUntil = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    if (!pool->park(sock, keep_alive_max_count_, HeadCollector(limits_), idleUntil))
      pool->serveOnWorker(sock, keep_alive_max_count_);
    return true;
  }
  serveConnection(sock, keep_alive_max_count_, std::string(), Clock::time_point::max());
  return true;
}

void BoundedServer::serveConnection(socket_t sock, size_t requestsLeft, std::string received,
                                    std::chrono::steady_clock::time_point headDeadline) {
  ConnectionStream strm(sock, toMs(read_timeout_sec_, read_timeout_usec_), toMs(write_timeout_sec_, write_timeout_usec_),
                        limits_, std::move(received));
  // Handlers run on this thread, within process_request().
  struct Serving {
    explicit Serving(const ConnectionStream* strm) { tServing = strm; }
    ~Serving() { tServing = nullptr; }
  } serving(&strm);
  const auto headTimeout = std::chrono::milliseconds(limits_.headTimeoutMs);
  const auto notify = [](const std::function<void()>& event) {
    if (event) event();
  };
  bool ok = false;
  // The head ends where the library hands over the parsed request, before the body is read or routed.
  const std::function<void(httplib::Request&)> headDone = [&strm](httplib::Request& req) {
    strm.endHead();
    strm.expectBody(req);
    toOriginForm(req.path);
    // An HTTP/1.0 client does not know interim responses, and may take "100 Continue" for the answer: its
    // expectation is ignored, and it sends its body unasked.
    if (req.version == "HTTP/1.0") req.headers.erase("Expect");
  };
  for (size_t left = requestsLeft; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    // A request whose head is all here already (handed over by the pool, or read along with the previous
    // request) is served at once.  Otherwise the connection waits for the rest of the head parked, without
    // this worker, unless the pool is shutting down.
    // A connection whose head the pool gave up collecting (see ConnectionPool::readable()) reads it here.
    const bool ownHead = headDeadline != Clock::time_point{} && left == requestsLeft;
    ConnectionPool* pool = ownHead ? nullptr : pool_.load();
    if (pool != nullptr) {
      if (!strm.readArrived()) break;   // the client closed the connection
      HeadCollector head(limits_);
      if (head.add(strm.buffered(), strm.bufferedBytes()) == HeadCollector::State::kMore) {
        const auto until = Clock::now() + (head.empty() ? std::chrono::milliseconds(keep_alive_timeout_sec_ * 1000)
                                                        : std::chrono::milliseconds(limits_.headTimeoutMs));
        if (pool->park(sock, left, std::move(head), until)) return;
      }
    }
    if (!strm.hasBuffered() && !waitForRequest(sock)) {
      if (svr_sock_ == INVALID_SOCKET) break;   // stopping: a request may be arriving just now
      closeConnection(sock);                    // idle for the idle time-out
      return;
    }
    strm.beginHead(ownHead && headDeadline != Clock::time_point::max() ? headDeadline : Clock::now() + headTimeout);
    bool closeAfter = false;
    ok = process_request(strm, left == 1, closeAfter, headDone);
    closeAfter = closeAfter || strm.responseClosed();
    if (strm.responseTimedOut()) {
      notify(events_.responseTimedOut);   // counted before the client can see the reset
      // The client is not taking the response: reset the connection, dropping what is still queued for
      // it, rather than leave the kernel trickling it out.
      const linger abort{1, 0};
      ::setsockopt(sock, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      ::close(sock);
      return;
    }
    const HeadFault fault = strm.headFault();
    if (fault != HeadFault::kNone) {
      if (fault == HeadFault::kTimedOut)
        notify(events_.headTimedOut);
      else if (fault != HeadFault::kMalformed && fault != HeadFault::kVersion)
        notify(events_.headTooLarge);
      // Whatever the library made of the refused head was not sent (the stream refused it): answer here.
      if (strm.writeAll(headFaultResponse(fault, limits_, strm.malformed())))
        closeLingering(sock, strm, limits_, svr_sock_, longLingering_);
      else
        ::close(sock);
      return;
    }
    if (!ok) {
      closeConnection(sock);
      return;
    }
    if (closeAfter) {
      if (strm.leftUnread()) {
        closeLingering(sock, strm, limits_, svr_sock_, longLingering_);
      } else if (svr_sock_ == INVALID_SOCKET) {
        closeAtStop(sock, false);   // the answer said the connection closes: no 503 after it
      } else {
        closeConnection(sock);
      }
      return;
    }
  }
  // Between requests of a stopping server: a request may be arriving just now, and gets 503 or meets a
  // clean close.  (Also here: the client closed the connection, or it served its last request.)
  if (svr_sock_ == INVALID_SOCKET) closeAtStop(sock, strm.hasBuffered() || bytesWaiting(sock));
  else closeConnection(sock);
}

}  // namespace qoblserve
}  // namespace zenlar
