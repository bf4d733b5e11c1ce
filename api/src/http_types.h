// Requests and responses as the routes of ringwell-api see them, apart from
// the HTTP library: a request with its headers, query arguments and body
// (already limited in size); a response with a JSON or text body, or with an
// EventChannel whose text is sent as it is produced (Server-Sent Events).
//
// The server asks its HttpGate twice per request: Admit with the headers
// alone (route, token, scope and limits are decided there, before any byte of
// the body is read), then Answer once the body admitted is in.
//
// Thread-safety: values, used by one thread; an EventChannel is shared (see
// event_channel.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ringwell/common/text.h"

namespace ringwell::api {

class EventChannel;

// Who presented a valid token: its name and scopes.
struct Identity {
  std::string name;
  std::vector<std::string> scopes;
  bool Has(std::string_view scope) const;
};

struct HttpRequest {
  std::string method;
  std::string path;
  std::string client_address;  // the peer's address, without its port
  std::multimap<std::string, std::string> query;
  std::map<std::string, std::string, LessIgnoringCase> headers;
  std::string body;
  // A file sent as multipart/form-data: its part's file name, and the form's
  // other fields.
  std::string upload_name;
  std::map<std::string, std::string> form;
  // An upload streamed to a file (Admission::upload_directory): its path; the
  // server removes the file after the answer unless the route moved it.
  std::string upload_path;
  std::uint64_t upload_size = 0;

  // What the gate decided from the headers (its route, the route's path
  // values and the caller), kept for Answer.
  std::chrono::steady_clock::time_point arrived{};
  int route = -1;
  std::map<std::string, std::string> params;
  std::optional<Identity> identity;

  // The header's value, or empty.
  std::string Header(const std::string& name) const;
  // The query argument's values: repeated arguments and comma-separated lists.
  std::vector<std::string> Arguments(const std::string& name) const;
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::shared_ptr<EventChannel> stream;  // set: the body is this channel's text
};

// What the gate decides from a request's headers: a refusal answered at
// once (the body is never read and the connection is closed when one was
// announced), or the limits the body is read under.
struct Admission {
  std::optional<HttpResponse> refusal;
  std::uint64_t body_limit = 0;
  // Not empty: the body (or a multipart form's file part) is written to a new
  // file in this directory instead of memory.
  std::string upload_directory;
  // The multipart/form-data fields besides the file that may come; any other
  // field is refused with 400.
  std::set<std::string> form_fields;
};

class HttpGate {
 public:
  virtual ~HttpGate() = default;
  // Called with the request's headers (and query) only.
  virtual Admission Admit(HttpRequest& request) = 0;
  // Called once the admitted body is in, on the same request.
  virtual HttpResponse Answer(HttpRequest& request) = 0;
};

// A JSON response, the body printed compactly with a final newline.
HttpResponse JsonResponse(int status, const nlohmann::json& body);
// {"error": MESSAGE, "status": STATUS} and, when given, "field": FIELD.
HttpResponse ErrorResponse(int status, const std::string& message, const std::string& field = {});
// The start of a Server-Sent Events answer: its headers, a new channel and the
// client's reconnection delay. `after` gets the number the request's
// Last-Event-ID names (none without one); a value that is not an event's
// number gives a 400 without a channel instead.
HttpResponse StartEventStream(const HttpRequest& request, std::optional<std::uint64_t>* after);

}  // namespace ringwell::api
