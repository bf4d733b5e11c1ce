// The HTTP/1.1 server of ringwell-api, on libmicrohttpd: one daemon per
// listening address, each with its own pool of threads (epoll), TLS through
// GnuTLS when a certificate is given. It reads a request's headers and body
// (up to the limit the handler's BodyLimit gives: 413 beyond it; a
// multipart/form-data upload is taken apart by libmicrohttpd's post
// processor), calls the handler on the pool thread, and sends its response. A
// streamed response (an EventChannel) is sent as its text is produced; its
// connection is suspended while there is nothing to send.
//
// Limits: a connection's request header and buffers share 64 KiB (larger
// headers are refused by the library with 431), a client silent for
// `timeout_s` is disconnected, and at most 1024 connections are open per
// address.
//
// Thread-safety: Listen and Stop belong to the thread that made the server;
// the handler is called on any of the pool threads at once, so it must be
// safe to call concurrently (see router.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "http_types.h"

struct MHD_Daemon;

namespace ringwell::api {

class HttpServer {
 public:
  using Handler = std::function<HttpResponse(HttpRequest&)>;
  // The largest body accepted for a method and path.
  using BodyLimit =
      std::function<std::uint64_t(const std::string& method, const std::string& path)>;
  // Called once per request after its response went out or failed, with the
  // status sent, for the metrics.
  struct Settings {
    unsigned threads = 4;
    unsigned timeout_s = 30;
    std::string tls_certificate_pem;  // both set: HTTPS
    std::string tls_key_pem;
  };

  HttpServer(Handler handler, BodyLimit limit, Settings settings);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts listening on `address` ("127.0.0.1:8725", "[::1]:8725",
  // "0.0.0.0:0" for any free port); false with `problem` when it cannot.
  bool Listen(const std::string& address, std::string* problem);
  // The addresses listened on, with the ports bound ("127.0.0.1:43117").
  const std::vector<std::string>& bound() const { return bound_; }
  // Ends every stream, stops the daemons and joins their threads.
  void Stop();

  // For the library's callbacks.
  struct Connection;
  HttpResponse Handle(HttpRequest& request) { return handler_(request); }
  std::uint64_t LimitFor(const std::string& method, const std::string& path) const {
    return limit_(method, path);
  }
  void Track(const std::shared_ptr<EventChannel>& channel);

 private:
  Handler handler_;
  BodyLimit limit_;
  Settings settings_;
  std::vector<MHD_Daemon*> daemons_;
  std::vector<std::string> bound_;
  std::mutex channels_mutex_;
  std::vector<std::weak_ptr<EventChannel>> channels_;
  bool stopping_ = false;
};

}  // namespace ringwell::api
