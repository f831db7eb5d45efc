#include "http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

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

// One connection's socket as the HTTP library's stream.  Reads go through a small buffer (the library
// reads a head one byte at a time), so bytes of a pipelined next request stay here between requests.
// While a head is being read (beginHead() .. endHead()) no read waits past the head deadline, and once it
// has passed every read and write fails: the caller answers the client itself.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(socket_t sock, int readTimeoutMs, int writeTimeoutMs)
      : sock_(sock), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

  void beginHead(Clock::time_point deadline) {
    inHead_ = true;
    headDeadline_ = deadline;
  }
  void endHead() { inHead_ = false; }
  bool headTimedOut() const { return headTimedOut_; }
  bool hasBuffered() const { return bufPos_ < bufEnd_; }

  bool is_readable() const override { return hasBuffered() || pollOne(sock_, POLLIN, readWaitMs()) > 0; }
  bool is_writable() const override { return !headTimedOut_ && pollOne(sock_, POLLOUT, writeTimeoutMs_) > 0; }

  ssize_t read(char* ptr, size_t size) override {
    if (headTimedOut_) return -1;
    if (!hasBuffered()) {
      if (inHead_ && Clock::now() >= headDeadline_) {
        headTimedOut_ = true;
        return -1;
      }
      const int ready = pollOne(sock_, POLLIN, readWaitMs());
      if (ready <= 0) {
        if (ready == 0 && inHead_ && Clock::now() >= headDeadline_) headTimedOut_ = true;
        return -1;
      }
      if (size >= sizeof buf_) return recvSome(ptr, size);   // a large read skips the buffer
      const ssize_t n = recvSome(buf_, sizeof buf_);
      if (n <= 0) return n;
      bufPos_ = 0;
      bufEnd_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, bufEnd_ - bufPos_);
    std::memcpy(ptr, buf_ + bufPos_, n);
    bufPos_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (headTimedOut_) return -1;
    return writeRaw(ptr, size);
  }

  // Sends all of `text` whatever became of the head (each send waiting at most the write time-out).
  bool writeAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = writeRaw(text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads and drops what the client has already sent (up to 64 KiB), without waiting for more.
  void discardPending() {
    bufPos_ = bufEnd_ = 0;
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(sock_, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
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
  // How long a read may wait for the socket now: the read time-out, cut short by a nearer head deadline.
  int readWaitMs() const {
    if (!inHead_) return readTimeoutMs_;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(headDeadline_ - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, readTimeoutMs_)));
  }

  ssize_t recvSome(char* ptr, size_t size) {
    for (;;) {
      const ssize_t n = ::recv(sock_, ptr, size, 0);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  ssize_t writeRaw(const char* ptr, size_t size) {
    if (pollOne(sock_, POLLOUT, writeTimeoutMs_) <= 0) return -1;
    for (;;) {
      const ssize_t n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  const socket_t sock_;
  const int readTimeoutMs_, writeTimeoutMs_;
  char buf_[4096];
  size_t bufPos_ = 0, bufEnd_ = 0;
  bool inHead_ = false, headTimedOut_ = false;
  Clock::time_point headDeadline_{};
};

}  // namespace

void HeadBoundServer::setHeadTimeout(uint32_t ms, std::function<void()> onTimeout) {
  headTimeoutMs_ = ms;
  onHeadTimeout_ = std::move(onTimeout);
}

bool HeadBoundServer::waitForRequest(socket_t sock) const {
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

bool HeadBoundServer::process_and_close_socket(socket_t sock) {
  ConnectionStream strm(sock, toMs(read_timeout_sec_, read_timeout_usec_), toMs(write_timeout_sec_, write_timeout_usec_));
  const auto headTimeout = std::chrono::milliseconds(headTimeoutMs_);
  bool ok = false;
  // The head ends where the library hands over the parsed request, before the body is read or routed.
  const std::function<void(httplib::Request&)> headDone = [&strm](httplib::Request&) { strm.endHead(); };
  for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    // A request already buffered behind the previous one needs no wait.
    if (!strm.hasBuffered() && !waitForRequest(sock)) break;
    strm.beginHead(Clock::now() + headTimeout);
    bool closeAfter = false;
    ok = process_request(strm, left == 1, closeAfter, headDone);
    if (strm.headTimedOut()) {
      if (onHeadTimeout_) onHeadTimeout_();   // counted before the client can see the close
      // Whatever the library made of the cut-off head was not sent (the stream refused it): answer 408.
      const std::string body =
          errorJson("the request head did not arrive within " + std::to_string(headTimeoutMs_) + " ms (--header-timeout-ms)");
      strm.writeAll("HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Type: application/json\r\n"
                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
      // Leave the client's unread bytes out of the close, so that it ends with FIN, not a reset that
      // could destroy the answer before the client reads it.
      ::shutdown(sock, SHUT_WR);
      strm.discardPending();
      ok = false;
      break;
    }
    if (!ok || closeAfter) break;
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace qoblserve
}  // namespace zenlar
