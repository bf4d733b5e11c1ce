// Requests and responses as the routes of ringwell-api see them, apart from
// the HTTP library: a request with its headers, query arguments and body
// (already limited in size); a response with a JSON or text body, or with an
// EventChannel whose text is sent as it is produced (Server-Sent Events).
//
// Thread-safety: values, used by one thread; an EventChannel is shared (see
// event_channel.h).
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "ringwell/common/text.h"

namespace ringwell::api {

class EventChannel;

struct HttpRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> query;
  std::map<std::string, std::string, LessIgnoringCase> headers;
  std::string body;
  // A file sent as multipart/form-data: its part's file name, and the form's
  // other fields.
  std::string upload_name;
  std::map<std::string, std::string> form;

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

// A JSON response, the body printed compactly with a final newline.
HttpResponse JsonResponse(int status, const nlohmann::json& body);
// {"error": MESSAGE, "status": STATUS} and, when given, "field": FIELD.
HttpResponse ErrorResponse(int status, const std::string& message, const std::string& field = {});

}  // namespace ringwell::api
