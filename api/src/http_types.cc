#include "http_types.h"

#include <algorithm>

#include "event_channel.h"

namespace ringwell::api {

bool Identity::Has(std::string_view scope) const {
  return std::find(scopes.begin(), scopes.end(), scope) != scopes.end();
}

std::string HttpRequest::Header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

std::vector<std::string> HttpRequest::Arguments(const std::string& name) const {
  std::vector<std::string> values;
  const auto [begin, end] = query.equal_range(name);
  for (auto it = begin; it != end; ++it) {
    std::string item;
    for (const char c : it->second + ",") {
      if (c == ',') {
        if (!Trim(item).empty()) values.emplace_back(Trim(item));
        item.clear();
      } else {
        item += c;
      }
    }
  }
  return values;
}

HttpResponse JsonResponse(int status, const nlohmann::json& body) {
  HttpResponse response;
  response.status = status;
  response.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  return response;
}

HttpResponse ErrorResponse(int status, const std::string& message, const std::string& field) {
  nlohmann::json body = {{"status", status}, {"error", message}};
  if (!field.empty()) body["field"] = field;
  return JsonResponse(status, body);
}

HttpResponse StartEventStream(const HttpRequest& request, std::optional<std::uint64_t>* after) {
  after->reset();
  const std::string last = request.Header("Last-Event-ID");
  if (!last.empty()) {
    const auto number = ParseInteger(last);
    if (!number || *number < 0) return ErrorResponse(400, "Last-Event-ID is an event's id");
    *after = static_cast<std::uint64_t>(*number);
  }
  HttpResponse response;
  response.content_type = "text/event-stream";
  response.headers = {{"Cache-Control", "no-cache"}, {"X-Accel-Buffering", "no"}};
  response.stream = std::make_shared<EventChannel>();
  response.stream->Push("retry: 2000\n\n");
  return response;
}

}  // namespace ringwell::api
