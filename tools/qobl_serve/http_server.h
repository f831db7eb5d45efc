// The HTTP server under the REST front: cpp-httplib's Server with its own connection loop, so that a
// request's head (request line and headers) must arrive within a deadline and a size, and a response must
// be taken by the client within a deadline.
//
// cpp-httplib only bounds each single read and write of a connection, and buffers a header line of any
// length and any number of header lines.  A client sending its head one byte at a time, just faster than
// the read time-out, or reading a large response a few bytes at a time, would hold a worker thread for as
// long as it likes; one sending a huge head quickly would make the server hold all of it in memory.  Here
// every connection is served by a loop of our own:
//   - waiting for a request (before the first one, and between kept-alive requests) ends after the idle
//     time-out without a byte, or when the server stops;
//   - from the first byte of a request, its whole head must arrive within the head time-out; if it does
//     not, the client gets 408 and the connection is closed;
//   - the head may hold at most maxHeadBytes bytes (request line, header lines and their line ends), at
//     most maxHeaderFields header lines and no header line longer than the library takes; past any of
//     these the head is not read further, the client gets 431 (414 when the request line alone is too
//     long) and the connection is closed.  So a connection never holds more than about maxHeadBytes of a
//     head in memory;
//   - the head must be one that every HTTP implementation reads alike, since a proxy in front that read it
//     differently would see other requests in the same bytes: lines end in CRLF (one empty line before a
//     request is skipped), no CR or NUL elsewhere; the request line is exactly a method of token bytes, one
//     space, a target, one space and "HTTP/" digit "." digit; the target holds no whitespace, control
//     bytes, bytes 0x80-0xFF, fragment ('#') or any of " < > \ ^ ` { | } (which no URI holds unencoded,
//     and which clients percent-encode), every '%' in it starts two hexadecimal digits, and none
//     of its escapes is a NUL or, in the path, a '/' (the library decodes the path before routing it, and
//     would see two segments where a proxy sees one); every header line holds a colon after a name of
//     token bytes (no whitespace before the colon, no line folded onto the one before) and a value without
//     control bytes other than HTAB (bytes 0x80-0xFF are taken); an HTTP/1.1 request carries exactly one
//     Host field, any other at most one.  Past the first byte out of place the head is not read further,
//     the client gets 400 and the connection is closed.
//     A well-formed request line of another major version than 1 gets 505 and a close; one of a later
//     HTTP/1 minor version ("HTTP/1.2") is served as HTTP/1.1, the highest this server speaks: the library
//     sees "HTTP/1.1" in its place, so the HTTP/1.1 rules (Host, keep-alive) apply and the answer is 1.1;
//   - once the head is in, the body is bounded as before (the read time-out per read, the body deadline
//     in the inference handler).  A chunked body must follow the chunked grammar strictly (CRLF line
//     ends, hexadecimal sizes below 2^64, CRLF after each chunk's data, size lines of at most 1 KiB and a
//     trailer of at most maxHeadBytes): the library itself takes some malformed bodies and then reads
//     their rest as the next request.  At the first byte out of place the body read fails, and so do
//     all reads of a chunked body once chunkedBodyTimeoutMs have passed since its head.  The handler
//     reading the body learns from bodyFault() why its read failed;
//   - a target in absolute form ("http://host/path") is routed by its path; an HTTP/1.0 connection is
//     closed after its response, which says so; an HTTP/1.0 request's "Expect: 100-continue" is ignored
//     (such a client knows no interim response);
//   - from the first byte of a response (an interim "100 Continue" does not count) the whole response
//     must be sent within the response time-out, each write also waiting at most the write time-out; when
//     it passes the connection is reset: nothing more can be said to the client;
//   - a response saying "Connection: close" closes the connection (the library itself would go on reading
//     the next request from it, a refused body included).  When the client may still be sending bytes the
//     server did not read (a body refused unread or cut off, the rest of a refused head, anything already
//     waiting), the close lingers: the server ends its side with FIN and reads and drops what arrives until
//     the client closes its side, falls silent for lingerIdleMs, lingerTotalMs pass, or the server stops.
//     Closing on unread bytes straight away would make the kernel reset the connection, and a reset can
//     destroy the answer before the client, still busy sending, reads it.  A lingering close holds its
//     worker thread: any close lingers up to lingerShortMs, long enough for a client that stops sending at
//     once to read its answer, but only lingerSlots connections at a time linger on past that (counted in
//     an atomic); one that finds them all taken closes then.  Clients that keep sending after a refusal
//     can thus hold no more than lingerSlots workers for long.
//   - a connection waiting for a request's head (a new connection, or one between kept-alive requests
//     whose next head is not all in) holds no worker thread: it is parked, watched by one thread of the
//     server's connection pool, which reads the head as it arrives, follows it through the bounds and the
//     grammar above, and hands the connection with the bytes read to a worker once the head is complete.
//     The watcher itself closes a parked connection when the idle time-out passes without a byte, when a
//     head begun falls silent for the read time-out, when the client closes it, or when the server stops;
//     it answers a head that breaks a bound or the grammar or misses its deadline (the answers above), then
//     drops what the client still sends until the client closes, falls silent for lingerIdleMs or
//     lingerTotalMs pass, and closes (this lingering holds no worker).  The watcher holds at most the
//     largest heads of 1024 connections (64 MiB at least) at once; a connection whose head would take more
//     is handed to a worker that reads the head itself, within the same deadline.  So clients that open
//     connections and send nothing, keep idle connections in a pool, or send their heads slowly take no
//     worker from the clients that send requests; a worker waits for a client only while reading a body
//     (bounded by the read time-out per read) and while writing a response (the response time-out);
// Reads and writes of a connection happen on the thread serving it only (the watcher while it is parked, a
// worker while it is served); the only state shared between connections is the server's configuration
// (set before listening), the count of connections lingering for long, and whatever the event callbacks
// given to setLimits() count, which they own.
#ifndef QOBL_SERVE_HTTP_SERVER_H
#define QOBL_SERVE_HTTP_SERVER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <httplib.h>

namespace zenlar {
namespace qoblserve {

struct ConnectionLimits {
  uint32_t headTimeoutMs = 10000;       // first byte of a request to the end of its head
  uint32_t maxHeadBytes = 65536;        // request line plus header lines, line ends included
  uint32_t maxHeaderFields = 100;       // header lines of one request
  uint32_t responseTimeoutMs = 60000;   // first byte of a response to its last
  uint32_t lingerIdleMs = 1000;         // a lingering close ends once the client is silent this long
  uint32_t lingerTotalMs = 3000;        // and in any case this long after the answer was sent
  uint32_t lingerShortMs = 200;         // any lingering close may take this long,
  uint32_t lingerSlots = 1;             // and this many at once (at least 1) up to lingerTotalMs
  // The end of the head to the end of a chunked body.  The handler reading the body bounds it too, but
  // sees only the chunks' data: size lines and trailers trickled in are bounded here.
  uint32_t chunkedBodyTimeoutMs = 30000;
};

// What the server calls when it drops a connection for a limit: on the thread serving the connection (a
// worker, or the pool's watcher for a parked one), once per dropped connection, before the client can see
// the close.  Empty functions are not called.
struct ConnectionEvents {
  std::function<void()> headTimedOut;
  std::function<void()> headTooLarge;
  std::function<void()> responseTimedOut;
};

// Why a read of a request's body failed, as its connection saw it.
struct BodyFault {
  enum class Kind {
    kNone,       // no read failed, or the failure was not the connection's (the handler stopped reading)
    kMalformed,  // a chunked body broke the chunked grammar or a bound on its size lines or trailer
    kTimedOut,   // a chunked body was not all in within chunkedBodyTimeoutMs
    kStalled,    // the client sent nothing for the read time-out
    kClosed,     // the client closed the connection, or it failed, before the body ended
  };
  Kind kind = Kind::kNone;
  const char* why = nullptr;   // kMalformed: what was out of place; a string with static storage
};

class ConnectionPool;

class BoundedServer : public httplib::Server {
 public:
  // Installs a post-routing handler that keeps a closing response from also offering "Keep-Alive"; do not
  // replace it.
  BoundedServer();

  // Set before listening.
  void setLimits(const ConnectionLimits& limits, ConnectionEvents events);
  // Set before listening: at most `threads` requests are handled at once (the worker threads); connections
  // waiting for a request are parked without one.  Replaces new_task_queue.
  void setThreads(uint32_t threads);

  // Once bound, before listening: lets the kernel hold up to `backlog` connections not yet accepted.  The
  // library asks for 5, which a burst of clients connecting at once overflows; the connection attempts
  // beyond it are dropped and retried by the clients' kernels a second or more later.  False when the
  // socket refused the change.
  bool setBacklog(int backlog);

  // In a request handler, on the thread running it: why the first failed read of the request's body
  // failed (kNone outside a handler of this server, or when no read failed).
  static BodyFault bodyFault();

 private:
  bool process_and_close_socket(socket_t sock) override;
  // Serves requests on `sock`, at most `left` more, until it closes or parks the connection.  `received`:
  // bytes of the connection read already (the head of its next request, as the pool collected it).
  // `headDeadline`: the epoch when that head is complete; otherwise the next head is read here rather than
  // parked, by `headDeadline` (time_point::max(): from its first byte, as usual).
  void serveConnection(socket_t sock, size_t left, std::string received,
                       std::chrono::steady_clock::time_point headDeadline);
  // Waits until `sock` has a byte to read; false after the idle time-out, on an error or once the server
  // is stopping.
  bool waitForRequest(socket_t sock) const;

  ConnectionLimits limits_;
  ConnectionEvents events_;
  std::atomic<uint32_t> longLingering_{0};   // connections lingering past lingerShortMs now
  // The pool of the server's listening loop, set when the loop makes it (setThreads()); owned by that loop,
  // and alive while any of its workers runs.
  std::atomic<ConnectionPool*> pool_{nullptr};
};

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_HTTP_SERVER_H
