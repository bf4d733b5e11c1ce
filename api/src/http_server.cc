#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "event_channel.h"
#include "ringwell/common/text.h"

namespace ringwell::api {

// What the server keeps per request while its body arrives.
struct HttpServer::Connection {
  HttpRequest request;
  Admission admission;
  std::uint64_t received = 0;
  std::optional<HttpResponse> late_refusal;  // answered once the body is over
  MHD_PostProcessor* form = nullptr;
  std::string form_file_key;  // the multipart part that carries the file
  int upload_fd = -1;

  ~Connection() {
    if (form != nullptr) MHD_destroy_post_processor(form);
    if (upload_fd >= 0) ::close(upload_fd);
    if (!request.upload_path.empty()) ::unlink(request.upload_path.c_str());
  }
  void DropUpload() {
    if (upload_fd >= 0) ::close(upload_fd);
    upload_fd = -1;
    if (!request.upload_path.empty()) ::unlink(request.upload_path.c_str());
    request.upload_path.clear();
    request.upload_size = 0;
    request.body.clear();
    request.body.shrink_to_fit();
  }
  void Refuse(HttpResponse response) {
    if (!late_refusal) late_refusal = std::move(response);
    DropUpload();
  }
  // Keeps `size` bytes of the file: in the upload file or in memory.
  bool KeepFile(const char* data, std::size_t size) {
    if (admission.upload_directory.empty()) {
      request.body.append(data, size);
      return true;
    }
    if (upload_fd < 0) {
      std::string pattern = admission.upload_directory + "upload-XXXXXX";
      upload_fd = ::mkostemp(pattern.data(), O_CLOEXEC);
      if (upload_fd < 0) return false;
      request.upload_path = pattern;
    }
    while (size > 0) {
      const ssize_t written = ::write(upload_fd, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      data += written;
      size -= static_cast<std::size_t>(written);
      request.upload_size += static_cast<std::uint64_t>(written);
    }
    return true;
  }
};

// What the server keeps per streamed response.
struct HttpServer::Stream {
  std::shared_ptr<EventChannel> channel;
  HttpServer* server = nullptr;
  std::uint64_t id = 0;
  int watch_fd = -1;  // a duplicate of the connection's socket, watched for a hang-up
};

namespace {

// libmicrohttpd's own messages: while a daemon starts on this thread they are
// kept here, since the caller says what went wrong in its own words ("cannot
// listen on ..."); any other goes to stderr, named as the library's.
thread_local std::string* starting_message = nullptr;

void LogLibraryMessage(void*, const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  if (starting_message != nullptr) {
    *starting_message = text;
    return;
  }
  std::fprintf(stderr, "ringwell-api: libmicrohttpd: %s%s", text,
               std::strchr(text, '\n') != nullptr ? "" : "\n");
}

constexpr std::size_t kConnectionMemory = 64 * 1024;
constexpr std::size_t kFormFieldMax = 4096;
constexpr std::uint64_t kFormOverhead = 64 * 1024;  // boundaries and part headers

HttpResponse TooLarge(std::uint64_t limit) {
  return ErrorResponse(413, "the body is larger than " + std::to_string(limit) + " bytes");
}

MHD_Result CollectValue(void* cls, MHD_ValueKind kind, const char* key, const char* value) {
  auto* request = static_cast<HttpRequest*>(cls);
  if (key == nullptr) return MHD_YES;
  if (kind == MHD_HEADER_KIND) {
    request->headers[key] = value != nullptr ? value : "";
  } else if (kind == MHD_GET_ARGUMENT_KIND) {
    request->query.emplace(key, value != nullptr ? value : "");
  }
  return MHD_YES;
}

// How the request says its body is framed: every Content-Length and
// Transfer-Encoding header, repeated ones included.
struct Framing {
  std::vector<std::string> lengths;
  std::vector<std::string> codings;
};

MHD_Result CollectFraming(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* framing = static_cast<Framing*>(cls);
  if (key == nullptr) return MHD_YES;
  const std::string text = value != nullptr ? std::string(Trim(value)) : "";
  if (EqualsIgnoringCase(key, MHD_HTTP_HEADER_CONTENT_LENGTH)) framing->lengths.push_back(text);
  if (EqualsIgnoringCase(key, MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
    framing->codings.push_back(text);
  }
  return MHD_YES;
}

// 400 or 501 for a framing that can be read two ways (a proxy in front
// might read it the other way), or not at all.
std::optional<HttpResponse> CheckFraming(const Framing& framing) {
  if (framing.lengths.size() > 1) {
    return ErrorResponse(400, "the request has more than one Content-Length");
  }
  if (!framing.codings.empty() && !framing.lengths.empty()) {
    return ErrorResponse(400, "the request has both Content-Length and Transfer-Encoding");
  }
  if (framing.codings.size() > 1 ||
      (framing.codings.size() == 1 && !EqualsIgnoringCase(framing.codings[0], "chunked"))) {
    return ErrorResponse(501, "the only transfer coding understood is chunked");
  }
  return std::nullopt;
}

// A part of a multipart/form-data body: the part with a file name is the
// file, the others are fields, each one the gate named.
MHD_Result CollectFormPart(void* cls, MHD_ValueKind, const char* key, const char* filename,
                           const char*, const char*, const char* data, uint64_t, size_t size) {
  auto* connection = static_cast<HttpServer::Connection*>(cls);
  HttpRequest& request = connection->request;
  if (connection->late_refusal) return MHD_NO;
  const std::string name = key != nullptr ? key : "";
  if (filename != nullptr) {
    if (connection->form_file_key.empty()) {
      connection->form_file_key = name;
      request.upload_name = filename;
    }
    if (name != connection->form_file_key) return MHD_YES;
    if (!connection->KeepFile(data, size)) {
      connection->Refuse(ErrorResponse(503, "the upload cannot be kept"));
      return MHD_NO;
    }
    return MHD_YES;
  }
  if (connection->admission.form_fields.count(name) == 0) {
    connection->Refuse(ErrorResponse(400, "the form has an unknown field \"" + name + "\""));
    return MHD_NO;
  }
  if (request.form[name].size() + size > kFormFieldMax) {
    connection->Refuse(ErrorResponse(400, "the form field \"" + name + "\" is too long"));
    return MHD_NO;
  }
  request.form[name].append(data, size);
  return MHD_YES;
}

ssize_t ReadChannel(void* cls, uint64_t, char* buffer, size_t max) {
  auto* stream = static_cast<HttpServer::Stream*>(cls);
  const long count = stream->channel->Read(buffer, max);
  return count < 0 ? MHD_CONTENT_READER_END_OF_STREAM : count;
}

void FreeChannel(void* cls) {
  auto* stream = static_cast<HttpServer::Stream*>(cls);
  stream->server->Untrack(stream);
  stream->channel->Unbind();
  delete stream;
}

MHD_Result Queue(MHD_Connection* connection, const HttpResponse& response, HttpServer* server,
                 bool close = false) {
  MHD_Response* reply = nullptr;
  if (response.stream) {
    auto* stream = new HttpServer::Stream{response.stream, server, 0, -1};
    response.stream->Bind([connection] { MHD_suspend_connection(connection); },
                          [connection] { MHD_resume_connection(connection); });
    server->Track(connection, response.stream, stream);
    reply = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &ReadChannel, stream,
                                              &FreeChannel);
  } else {
    reply = MHD_create_response_from_buffer(
        response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
  }
  if (reply == nullptr) return MHD_NO;
  MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.content_type.c_str());
  for (const auto& [name, value] : response.headers) {
    MHD_add_response_header(reply, name.c_str(), value.c_str());
  }
  if (close) MHD_add_response_header(reply, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
  MHD_destroy_response(reply);
  return queued;
}

std::string ClientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return {};
  char text[INET6_ADDRSTRLEN] = "";
  if (info->client_addr->sa_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr,
                text, sizeof text);
  } else if (info->client_addr->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text,
                sizeof text);
  }
  return text;
}

// The first call for a request: headers only.
MHD_Result Begin(HttpServer* server, MHD_Connection* connection, const char* url,
                 const char* method, void** context) {
  server->AwaitingHeader(connection, false);
  auto* state = new HttpServer::Connection();
  *context = state;
  HttpRequest& request = state->request;
  request.arrived = std::chrono::steady_clock::now();
  request.method = method;
  request.path = url;
  request.client_address = ClientAddress(connection);
  Framing framing;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectFraming, &framing);
  const bool announces_body =
      !framing.codings.empty() || std::any_of(framing.lengths.begin(), framing.lengths.end(),
                                              [](const std::string& v) { return v != "0"; });
  if (auto refusal = CheckFraming(framing)) {
    state->late_refusal = std::move(refusal);
    return Queue(connection, *state->late_refusal, server, /*close=*/true);
  }
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectValue, &request);
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectValue, &request);
  state->admission = server->gate().Admit(request);
  if (state->admission.refusal) {
    // Answered on the headers: no byte of the body is read, and a body that
    // was announced makes the connection close after the answer. Without a
    // body the answer waits for the library's next call (the request is
    // complete then), which keeps the connection: an answer queued now would
    // close it, and a client refused again and again would cost a new
    // connection each time.
    state->late_refusal = std::move(state->admission.refusal);
    if (!announces_body) return MHD_YES;
    return Queue(connection, *state->late_refusal, server, /*close=*/true);
  }
  const std::uint64_t limit = state->admission.body_limit;
  if (!framing.lengths.empty() && std::strtoull(framing.lengths[0].c_str(), nullptr, 10) > limit) {
    state->late_refusal = TooLarge(limit);
    return Queue(connection, *state->late_refusal, server, /*close=*/true);
  }
  if (request.Header("Content-Type").rfind("multipart/form-data", 0) == 0) {
    state->form = MHD_create_post_processor(connection, 64 * 1024, &CollectFormPart, state);
    if (state->form == nullptr) {
      state->late_refusal = ErrorResponse(400, "the multipart form has no boundary");
      return Queue(connection, *state->late_refusal, server, /*close=*/true);
    }
  }
  return MHD_YES;
}

// A piece of an admitted body.
void Take(HttpServer::Connection* state, const char* data, std::size_t size) {
  if (state->late_refusal) return;  // thrown away
  state->received += size;
  const std::uint64_t limit = state->admission.body_limit;
  if (state->received > limit + (state->form != nullptr ? kFormOverhead : 0)) {
    state->Refuse(TooLarge(limit));
    return;
  }
  if (state->form != nullptr) {
    if (MHD_post_process(state->form, data, size) != MHD_YES && !state->late_refusal) {
      state->DropUpload();
      state->request.upload_name.clear();
      state->form_file_key = "\n";  // a malformed form: no file
    }
    return;
  }
  if (!state->KeepFile(data, size)) state->Refuse(ErrorResponse(503, "the upload cannot be kept"));
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char* upload_data, size_t* upload_size, void** context) {
  auto* server = static_cast<HttpServer*>(cls);
  auto* state = static_cast<HttpServer::Connection*>(*context);
  if (state == nullptr) return Begin(server, connection, url, method, context);
  if (*upload_size > 0) {
    Take(state, upload_data, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  if (state->late_refusal) return Queue(connection, *state->late_refusal, server);
  if (state->upload_fd >= 0) {
    ::close(state->upload_fd);
    state->upload_fd = -1;
  }
  HttpResponse response = server->gate().Answer(state->request);
  return Queue(connection, response, server);
}

void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                 MHD_RequestTerminationCode) {
  delete static_cast<HttpServer::Connection*>(*context);
  *context = nullptr;
  static_cast<HttpServer*>(cls)->AwaitingHeader(connection, true);
}

void OnConnection(void* cls, MHD_Connection* connection, void**,
                  MHD_ConnectionNotificationCode code) {
  auto* server = static_cast<HttpServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    server->Opened(connection);
  } else {
    server->Closed(connection);
  }
}

// "host:port" or "[v6]:port" as a socket address.
bool ParseAddress(const std::string& address, sockaddr_storage* out, std::string* problem) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon + 1 == address.size()) {
    *problem = "\"" + address + "\" is no address: give HOST:PORT, such as 127.0.0.1:8725";
    return false;
  }
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(host.empty() || host == "*" ? nullptr : host.c_str(),
                                  port.c_str(), &hints, &found);
  if (error != 0 || found == nullptr) {
    *problem = "cannot listen on " + address + ": " + ::gai_strerror(error);
    return false;
  }
  std::memcpy(out, found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  return true;
}

std::string Describe(const sockaddr_storage& address, unsigned port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(port);
  }
  ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(port);
}

}  // namespace

HttpServer::HttpServer(HttpGate& gate, Settings settings)
    : gate_(gate), settings_(std::move(settings)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Listen(const std::string& address, std::string* problem) {
  sockaddr_storage socket_address{};
  if (!ParseAddress(address, &socket_address, problem)) return false;
  if (stream_epoll_ < 0) {
    stream_epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (stream_epoll_ < 0) {
      *problem = std::string("cannot make an epoll descriptor: ") + std::strerror(errno);
      return false;
    }
    watcher_ = std::jthread([this](std::stop_token stop) { Watch(stop); });
  }
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                   MHD_USE_ITC | MHD_USE_ERROR_LOG;
  if (socket_address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  const bool tls = !settings_.tls_certificate_pem.empty();
  if (tls) flags |= MHD_USE_TLS;
  MHD_OptionItem options[] = {
      {MHD_OPTION_SOCK_ADDR, 0, &socket_address},
      {MHD_OPTION_THREAD_POOL_SIZE, settings_.threads, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, settings_.timeout_s, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, settings_.connection_limit, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, settings_.per_address_limit, nullptr},
      {MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024, nullptr},
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&LogLibraryMessage), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&OnCompleted), this},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&OnConnection), this},
      {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
       const_cast<char*>(settings_.tls_certificate_pem.c_str())},
      {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
       const_cast<char*>(settings_.tls_key_pem.c_str())},
      {MHD_OPTION_END, 0, nullptr}};
  std::string library_message;
  starting_message = &library_message;
  MHD_Daemon* daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, this,
                                        MHD_OPTION_ARRAY, options, MHD_OPTION_END);
  const int start_error = errno;
  starting_message = nullptr;
  if (daemon == nullptr) {
    *problem = "cannot listen on " + address + ": " + std::strerror(start_error);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
  daemons_.push_back(daemon);
  bound_.push_back(Describe(socket_address, info != nullptr ? info->port : 0));
  return true;
}

void HttpServer::Opened(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  MutexLock lock(mutex_);
  sockets_[connection] = {info != nullptr ? info->connect_fd : -1, true,
                          std::chrono::steady_clock::now()};
}

void HttpServer::Closed(MHD_Connection* connection) {
  // The library closes the socket after this: while the mutex is held here,
  // the watcher cannot be shutting down a descriptor that was reused.
  MutexLock lock(mutex_);
  sockets_.erase(connection);
}

void HttpServer::AwaitingHeader(MHD_Connection* connection, bool waiting) {
  MutexLock lock(mutex_);
  const auto known = sockets_.find(connection);
  if (known == sockets_.end()) return;
  known->second.waiting = waiting;
  known->second.since = std::chrono::steady_clock::now();
}

void HttpServer::Track(MHD_Connection* connection, const std::shared_ptr<EventChannel>& channel,
                       Stream* stream) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  MutexLock lock(mutex_);
  if (stopping_) {
    lock.Unlock();
    channel->Finish();  // no connection may stay suspended once the daemons stop
    return;
  }
  stream->id = next_stream_++;
  streams_[stream->id] = channel;
  // Watched through a duplicate, so that the watch lasts exactly as long as
  // the stream, whenever the library closes its own descriptor.
  if (info != nullptr && stream_epoll_ >= 0) {
    stream->watch_fd = ::fcntl(info->connect_fd, F_DUPFD_CLOEXEC, 0);
    if (stream->watch_fd >= 0) {
      epoll_event event{};
      event.events = EPOLLRDHUP | EPOLLHUP | EPOLLERR;
      event.data.u64 = stream->id;
      if (::epoll_ctl(stream_epoll_, EPOLL_CTL_ADD, stream->watch_fd, &event) != 0) {
        ::close(stream->watch_fd);
        stream->watch_fd = -1;
      }
    }
  }
}

void HttpServer::Untrack(Stream* stream) {
  MutexLock lock(mutex_);
  streams_.erase(stream->id);
  if (streams_.empty()) streams_gone_.notify_all();
  if (stream->watch_fd >= 0) ::close(stream->watch_fd);  // also ends its watch
  stream->watch_fd = -1;
}

void HttpServer::Watch(std::stop_token stop) {
  constexpr int kTick = 250;  // ms
  epoll_event events[64];
  while (!stop.stop_requested()) {
    const int count = ::epoll_wait(stream_epoll_, events, 64, kTick);
    std::vector<std::shared_ptr<EventChannel>> hung_up;
    {
      MutexLock lock(mutex_);
      for (int i = 0; i < count; ++i) {
        const auto known = streams_.find(events[i].data.u64);
        if (known == streams_.end()) continue;
        if (auto channel = known->second.lock()) hung_up.push_back(std::move(channel));
      }
    }
    for (const auto& channel : hung_up) channel->Abandon();
    MutexLock lock(mutex_);
    // A header that is not complete in time: the connection is shut down
    // (the library notices and closes it).
    const auto overdue =
        std::chrono::steady_clock::now() - std::chrono::seconds(settings_.header_timeout_s);
    for (auto& [connection, socket] : sockets_) {
      if (socket.waiting && socket.since < overdue && socket.fd >= 0) {
        ::shutdown(socket.fd, SHUT_RDWR);
        socket.waiting = false;
      }
    }
  }
}

void HttpServer::Stop() {
  if (!daemons_.empty()) {
    // No new connection. The listening sockets are ours to close once the
    // daemons' threads are gone (not before: they may still hold them).
    std::vector<MHD_socket> listening;
    for (MHD_Daemon* daemon : daemons_) {
      const MHD_socket socket = MHD_quiesce_daemon(daemon);
      if (socket != MHD_INVALID_SOCKET) listening.push_back(socket);
    }
    // A connection made from now on is refused at once instead of waiting in
    // the kernel's queue while the streams drain: shut down, a listening
    // socket listens no more, and its descriptor stays valid for a thread
    // that may still hold it.
    for (const MHD_socket socket : listening) ::shutdown(socket, SHUT_RDWR);
    // A suspended connection must be resumed before its daemon stops.
    std::vector<std::shared_ptr<EventChannel>> open;
    {
      MutexLock lock(mutex_);
      stopping_ = true;
      for (const auto& [id, weak] : streams_) {
        if (auto channel = weak.lock()) open.push_back(std::move(channel));
      }
    }
    // Not "finished": a client follows again with Last-Event-ID once the API
    // is back.
    for (const auto& channel : open) {
      channel->Push("event: stopping\ndata: {\"reason\": \"the API is stopping\"}\n\n");
      channel->Finish();
    }
    // Each stream's last text goes out before the daemons close what is
    // left (a client that does not read is not waited for long).
    {
      MutexLock lock(mutex_);
      streams_gone_.wait_for(lock.native(), std::chrono::seconds(2), [this] {
        mutex_.AssertHeld();
        return streams_.empty();
      });
    }
    for (MHD_Daemon* daemon : daemons_) MHD_stop_daemon(daemon);
    daemons_.clear();
    for (const MHD_socket socket : listening) ::close(socket);
  }
  watcher_.request_stop();
  if (watcher_.joinable()) watcher_.join();
  if (stream_epoll_ >= 0) ::close(stream_epoll_);
  stream_epoll_ = -1;
}

}  // namespace ringwell::api
