#include "http_types.h"

#include <algorithm>

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

}  // namespace ringwell::api
