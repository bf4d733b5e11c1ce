#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "event_channel.h"

namespace ringwell::api {

// What the server keeps per request while its body arrives.
struct HttpServer::Connection {
  HttpRequest request;
  std::uint64_t limit = 0;
  bool too_large = false;
  MHD_PostProcessor* form = nullptr;
  std::string form_file_key;  // the multipart part that carries the file

  ~Connection() {
    if (form != nullptr) MHD_destroy_post_processor(form);
  }
};

namespace {

constexpr std::size_t kConnectionMemory = 64 * 1024;
constexpr unsigned kMaxConnections = 1024;

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

// A part of a multipart/form-data body: the part with a file name is the
// file, the others are fields.
MHD_Result CollectFormPart(void* cls, MHD_ValueKind, const char* key, const char* filename,
                           const char*, const char*, const char* data, uint64_t, size_t size) {
  auto* connection = static_cast<HttpServer::Connection*>(cls);
  HttpRequest& request = connection->request;
  const std::string name = key != nullptr ? key : "";
  if (filename != nullptr) {
    if (connection->form_file_key.empty()) {
      connection->form_file_key = name;
      request.upload_name = filename;
    }
    if (name != connection->form_file_key) return MHD_YES;
    if (request.body.size() + size > connection->limit) {
      connection->too_large = true;
      return MHD_NO;
    }
    request.body.append(data, size);
  } else if (request.form[name].size() + size <= 4096) {
    request.form[name].append(data, size);
  }
  return MHD_YES;
}

ssize_t ReadChannel(void* cls, uint64_t, char* buffer, size_t max) {
  auto* channel = static_cast<std::shared_ptr<EventChannel>*>(cls);
  const long count = (*channel)->Read(buffer, max);
  return count < 0 ? MHD_CONTENT_READER_END_OF_STREAM : count;
}

void FreeChannel(void* cls) {
  auto* channel = static_cast<std::shared_ptr<EventChannel>*>(cls);
  (*channel)->Unbind();
  delete channel;
}

MHD_Result Queue(MHD_Connection* connection, const HttpResponse& response, HttpServer* server) {
  MHD_Response* reply = nullptr;
  if (response.stream) {
    auto* channel = new std::shared_ptr<EventChannel>(response.stream);
    response.stream->Bind([connection] { MHD_suspend_connection(connection); },
                          [connection] { MHD_resume_connection(connection); });
    server->Track(response.stream);
    reply = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &ReadChannel, channel,
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
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
  MHD_destroy_response(reply);
  return queued;
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char* upload_data, size_t* upload_size, void** context) {
  auto* server = static_cast<HttpServer*>(cls);
  auto* state = static_cast<HttpServer::Connection*>(*context);
  if (state == nullptr) {
    state = new HttpServer::Connection();
    *context = state;
    HttpRequest& request = state->request;
    request.method = method;
    request.path = url;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectValue, &request);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectValue, &request);
    state->limit = server->LimitFor(request.method, request.path);
    const std::string length = request.Header("Content-Length");
    if (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > state->limit) {
      // Refused before the body is read; the library closes the connection.
      state->too_large = true;
      return Queue(
          connection,
          ErrorResponse(413, "the body is larger than " + std::to_string(state->limit) + " bytes"),
          server);
    }
    if (request.Header("Content-Type").rfind("multipart/form-data", 0) == 0) {
      state->form = MHD_create_post_processor(connection, 64 * 1024, &CollectFormPart, state);
    }
    return MHD_YES;
  }
  if (*upload_size > 0) {
    if (!state->too_large) {
      if (state->form != nullptr) {
        if (MHD_post_process(state->form, upload_data, *upload_size) != MHD_YES &&
            !state->too_large) {
          state->request.body.clear();
          state->form_file_key = "\n";  // a malformed form: no file
        }
      } else if (state->request.body.size() + *upload_size > state->limit) {
        state->too_large = true;
        state->request.body.clear();
      } else {
        state->request.body.append(upload_data, *upload_size);
      }
    }
    *upload_size = 0;
    return MHD_YES;
  }
  if (state->too_large) {
    return Queue(
        connection,
        ErrorResponse(413, "the body is larger than " + std::to_string(state->limit) + " bytes"),
        server);
  }
  HttpResponse response = server->Handle(state->request);
  return Queue(connection, response, server);
}

void OnCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
  delete static_cast<HttpServer::Connection*>(*context);
  *context = nullptr;
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

HttpServer::HttpServer(Handler handler, BodyLimit limit, Settings settings)
    : handler_(std::move(handler)), limit_(std::move(limit)), settings_(std::move(settings)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Listen(const std::string& address, std::string* problem) {
  sockaddr_storage socket_address{};
  if (!ParseAddress(address, &socket_address, problem)) return false;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                   MHD_USE_ERROR_LOG;
  if (socket_address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  const bool tls = !settings_.tls_certificate_pem.empty();
  if (tls) flags |= MHD_USE_TLS;
  MHD_OptionItem options[] = {
      {MHD_OPTION_SOCK_ADDR, 0, &socket_address},
      {MHD_OPTION_THREAD_POOL_SIZE, settings_.threads, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, settings_.timeout_s, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, nullptr},
      {MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024, nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&OnCompleted), nullptr},
      {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
       const_cast<char*>(settings_.tls_certificate_pem.c_str())},
      {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
       const_cast<char*>(settings_.tls_key_pem.c_str())},
      {MHD_OPTION_END, 0, nullptr}};
  MHD_Daemon* daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, this,
                                        MHD_OPTION_ARRAY, options, MHD_OPTION_END);
  if (daemon == nullptr) {
    *problem = "cannot listen on " + address + ": " + std::strerror(errno);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
  daemons_.push_back(daemon);
  bound_.push_back(Describe(socket_address, info != nullptr ? info->port : 0));
  return true;
}

void HttpServer::Track(const std::shared_ptr<EventChannel>& channel) {
  std::lock_guard lock(channels_mutex_);
  if (stopping_) {
    channel->Finish();  // no connection may stay suspended once the daemons stop
    return;
  }
  std::erase_if(channels_, [](const auto& weak) { return weak.expired(); });
  channels_.push_back(channel);
}

void HttpServer::Stop() {
  if (daemons_.empty()) return;
  // A suspended connection must be resumed before its daemon stops.
  for (MHD_Daemon* daemon : daemons_) MHD_quiesce_daemon(daemon);
  {
    std::lock_guard lock(channels_mutex_);
    stopping_ = true;
    for (const auto& weak : channels_) {
      if (auto channel = weak.lock()) channel->Finish();
    }
  }
  for (MHD_Daemon* daemon : daemons_) MHD_stop_daemon(daemon);
  daemons_.clear();
}

}  // namespace ringwell::api
