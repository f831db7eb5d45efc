// The HTTP server under the REST front: cpp-httplib's Server with its own connection loop, so that a
// request's head (request line and headers) must arrive within a deadline.
//
// cpp-httplib only bounds each single read of a connection, so a client sending its head one byte at a
// time, just faster than the read time-out, would hold a worker thread for as long as it likes.  Here every
// connection is served by a loop of our own:
//   - waiting for a request (before the first one, and between kept-alive requests) ends after the idle
//     time-out without a byte, or when the server stops;
//   - from the first byte of a request, its whole head must arrive within the head time-out; if it does
//     not, the client gets 408 and the connection is closed;
//   - once the head is in, the body and the response are bounded as before (the read and write time-outs
//     per read and write, the body deadline in the inference handler).
// Reads and writes of a connection happen on the worker thread serving it only; the only state shared
// between connections is the server's configuration (set before listening) and the counter of heads that
// timed out, which the callback given to setHeadTimeout() owns.
#ifndef QOBL_SERVE_HTTP_SERVER_H
#define QOBL_SERVE_HTTP_SERVER_H

#include <cstdint>
#include <functional>

#include <httplib.h>

namespace zenlar {
namespace qoblserve {

class HeadBoundServer : public httplib::Server {
 public:
  // The longest time from the first byte of a request to the end of its head, and what to call (on the
  // worker thread, once per dropped connection) when a head does not make it.  Set before listening.
  void setHeadTimeout(uint32_t ms, std::function<void()> onTimeout);

 private:
  bool process_and_close_socket(socket_t sock) override;
  // Waits until `sock` has a byte to read; false after the idle time-out, on an error or once the server
  // is stopping.
  bool waitForRequest(socket_t sock) const;

  uint32_t headTimeoutMs_ = 10000;
  std::function<void()> onHeadTimeout_;
};

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_HTTP_SERVER_H
