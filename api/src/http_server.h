// The HTTP/1.1 server of ringwell-api, on libmicrohttpd: one daemon per
// listening address, each with its own pool of threads (epoll), TLS through
// GnuTLS when a certificate is given.
//
// It decides before it reads: once a request's headers are in, its framing is
// checked (two Content-Length headers, or Content-Length with
// Transfer-Encoding: 400; a transfer coding other than chunked: 501; the
// connection is closed after either) and the gate (router.h) admits it or
// refuses it on the headers alone, so a refused request's body is never read.
// An admitted body is read up to the gate's limit whatever its transfer
// coding (413 beyond it, the rest thrown away, never kept), into memory or,
// for uploads, into a file below the storage root; a multipart/form-data
// upload is taken apart by libmicrohttpd's post processor as it comes. A
// streamed response (an EventChannel) is sent as its text is produced; its
// connection is suspended while there is nothing to send, and a client that
// hangs up is noticed at once (the socket is watched), which ends its stream.
//
// Connections are a budget: at most `connection_limit` per address listened
// on and `per_address_limit` per client address (more are closed at once), a
// client must send a request's whole header within `header_timeout_s` of its
// connection being ready for it, however slowly the bytes trickle in
// (slowloris), and a client silent for `timeout_s` is disconnected. A
// connection's request header and buffers share 64 KiB (larger headers are
// refused by the library with 431).
//
// Thread-safety: Listen and Stop belong to the thread that made the server;
// the gate is called on any of the pool threads at once, so it must be safe
// to call concurrently (see router.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http_types.h"
#include "ringwell/common/thread_annotations.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace ringwell::api {

class HttpServer {
 public:
  struct Settings {
    unsigned threads = 4;
    unsigned timeout_s = 30;
    unsigned header_timeout_s = 10;
    unsigned connection_limit = 1024;  // per address listened on
    unsigned per_address_limit = 256;  // per client address
    std::string tls_certificate_pem;   // both set: HTTPS
    std::string tls_key_pem;
  };

  // `gate` must outlive the server.
  HttpServer(HttpGate& gate, Settings settings);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts listening on `address` ("127.0.0.1:8725", "[::1]:8725",
  // "0.0.0.0:0" for any free port); false with `problem` when it cannot.
  bool Listen(const std::string& address, std::string* problem);
  // The addresses listened on, with the ports bound ("127.0.0.1:43117").
  const std::vector<std::string>& bound() const { return bound_; }
  // Stops accepting (the listening sockets are closed), ends every stream
  // with a "stopping" event (a client resumes with Last-Event-ID once the
  // API is back), stops the daemons and joins their threads.
  void Stop();

  // For the library's callbacks.
  struct Connection;
  struct Stream;
  HttpGate& gate() { return gate_; }
  void Track(MHD_Connection* connection, const std::shared_ptr<EventChannel>& channel,
             Stream* stream);
  void Untrack(Stream* stream);
  void Opened(MHD_Connection* connection);
  void Closed(MHD_Connection* connection);
  // A connection waits for a request's header (true) or has it (false).
  void AwaitingHeader(MHD_Connection* connection, bool waiting);

 private:
  // Closes the connections whose header is overdue, and ends the streams
  // whose clients hung up.
  void Watch(std::stop_token stop);

  HttpGate& gate_;
  Settings settings_;
  std::vector<MHD_Daemon*> daemons_;
  std::vector<std::string> bound_;
  int stream_epoll_ = -1;
  std::jthread watcher_;

  Mutex mutex_;
  struct Socket {
    int fd = -1;
    bool waiting = true;  // for a request's header
    std::chrono::steady_clock::time_point since;
  };
  std::unordered_map<MHD_Connection*, Socket> sockets_ RINGWELL_GUARDED_BY(mutex_);
  std::uint64_t next_stream_ RINGWELL_GUARDED_BY(mutex_) = 1;
  std::map<std::uint64_t, std::weak_ptr<EventChannel>> streams_ RINGWELL_GUARDED_BY(mutex_);
  std::condition_variable streams_gone_;
  bool stopping_ RINGWELL_GUARDED_BY(mutex_) = false;
};

}  // namespace ringwell::api
