#include "pager/pager_config.h"

#include <toml++/toml.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "pager/page_text.h"

namespace ringwell::host::pager {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

[[noreturn]] void Bad(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

// A timeout in seconds: above 0, at most an hour.
std::optional<double> Timeout(const toml::table& table, const std::string& where) {
  const toml::node* timeout = table.get("timeout");
  if (timeout == nullptr) return std::nullopt;
  const std::optional<double> seconds = timeout->value<double>();
  if (!seconds || !(*seconds > 0) || *seconds > 3600) {
    Bad(where, "\"timeout\" must be a number of seconds above 0 and at most 3600");
  }
  return seconds;
}

std::string String(const toml::table& table, std::string_view key, const std::string& where,
                   std::string fallback = "") {
  const toml::node* node = table.get(key);
  if (node == nullptr) return fallback;
  const auto* value = node->as_string();
  if (value == nullptr) Bad(where, "\"" + std::string(key) + "\" must be a string");
  return value->get();
}

Pairs StringTable(const toml::table& table, std::string_view key, const std::string& where) {
  Pairs pairs;
  const toml::node* node = table.get(key);
  if (node == nullptr) return pairs;
  const toml::table* inner = node->as_table();
  if (inner == nullptr) Bad(where, "\"" + std::string(key) + "\" must be a table of strings");
  for (const auto& [name, value] : *inner) {
    const auto* text = value.as_string();
    if (text == nullptr) {
      Bad(where, "\"" + std::string(key) + "." + std::string(name.str()) + "\" must be a string");
    }
    pairs.emplace_back(std::string(name.str()), text->get());
  }
  return pairs;
}

// Every template must fill: no unknown placeholder, no missing secret.
void CheckTemplate(const std::string& pattern, const Secrets& secrets, const std::string& where) {
  try {
    FillTemplate(pattern, PageFields{}, secrets);
  } catch (const std::runtime_error& e) {
    Bad(where, e.what());
  }
}

ServiceConfig ParseService(const std::string& name, const toml::table& table,
                           const Secrets& secrets, const std::string& origin) {
  const std::string where = origin + ": service \"" + name + "\"";
  ServiceConfig service;
  service.name = name;
  const std::string channel = String(table, "channel", where);
  service.ca_file = String(table, "ca_file", where);
  service.timeout_seconds = Timeout(table, where).value_or(0);
  std::vector<std::string> templates;
  if (channel == "http") {
    service.channel = Channel::kHttp;
    service.url = String(table, "url", where);
    if (!service.url.starts_with("http://") && !service.url.starts_with("https://")) {
      Bad(where, "\"url\" must start with http:// or https://");
    }
    const std::string body = String(table, "body", where, "json");
    if (body == "json") {
      service.body = BodyFormat::kJson;
    } else if (body == "form") {
      service.body = BodyFormat::kForm;
    } else if (body == "none") {
      service.body = BodyFormat::kNone;
    } else {
      Bad(where, "\"body\" must be \"json\", \"form\" or \"none\"");
    }
    service.method =
        String(table, "method", where, service.body == BodyFormat::kNone ? "GET" : "POST");
    if (service.method.empty() ||
        service.method.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos) {
      Bad(where, "\"method\" must be an HTTP method such as POST");
    }
    service.fields = StringTable(table, "fields", where);
    if (service.body != BodyFormat::kNone && service.fields.empty()) {
      service.fields = {{"number", "{number}"}, {"text", "{text}"}};
    }
    service.headers = StringTable(table, "headers", where);
    templates.push_back(service.url);
    for (const auto& [field, value] : service.fields) templates.push_back(value);
    for (const auto& [header, value] : service.headers) {
      if (header.empty() || header.find_first_of(": \t\r\n") != std::string::npos) {
        Bad(where, "\"" + header + "\" is not a header name");
      }
      templates.push_back(value);
    }
  } else if (channel == "mail") {
    service.channel = Channel::kMail;
    service.server = String(table, "server", where);
    if (!service.server.starts_with("smtp://") && !service.server.starts_with("smtps://")) {
      Bad(where, "\"server\" must start with smtp:// or smtps://");
    }
    service.from = String(table, "from", where);
    if (service.from.empty()) Bad(where, "\"from\" (the sender's address) is missing");
    service.to = String(table, "to", where, service.to);
    service.subject = String(table, "subject", where, service.subject);
    service.user = String(table, "user", where);
    service.password = String(table, "password", where);
    if (const toml::node* starttls = table.get("starttls")) {
      if (!starttls->is_boolean()) Bad(where, "\"starttls\" must be true or false");
      service.starttls = starttls->as_boolean()->get();
    }
    templates = {service.to, service.subject, service.user, service.password};
  } else {
    Bad(where, "\"channel\" must be \"http\" or \"mail\"");
  }
  for (const std::string& pattern : templates) CheckTemplate(pattern, secrets, where);
  return service;
}

}  // namespace

const ServiceConfig* PagerConfig::Find(const std::string& service) const {
  const auto found = services.find(service.empty() ? default_service : service);
  return found == services.end() ? nullptr : &found->second;
}

PagerConfig ParsePagerConfig(const std::string& toml_text, const std::string& origin) {
  toml::table table;
  try {
    table = toml::parse(toml_text, origin);
  } catch (const toml::parse_error& e) {
    Bad(origin,
        "line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
  }
  PagerConfig config;
  config.default_service = String(table, "default_service", origin);
  config.timeout_seconds = Timeout(table, origin).value_or(config.timeout_seconds);
  if (const toml::node* length = table.get("max_length")) {
    const std::optional<std::int64_t> characters = length->value<std::int64_t>();
    if (!characters || *characters < 0) Bad(origin, "\"max_length\" must be 0 or more");
    config.max_length = static_cast<std::size_t>(*characters);
  }
  std::string secrets_path = String(table, "secrets", origin);
  if (!secrets_path.empty()) {
    if (std::filesystem::path(secrets_path).is_relative()) {
      // Relative to the configuration file.
      secrets_path = (std::filesystem::path(origin).parent_path() / secrets_path).string();
    }
    config.secrets = Secrets::Load(secrets_path);
  }
  const toml::table* services = table["services"].as_table();
  if (services == nullptr || services->empty()) Bad(origin, "no [services.NAME] table");
  for (const auto& [name, node] : *services) {
    const toml::table* service = node.as_table();
    if (service == nullptr) Bad(origin, "services." + std::string(name.str()) + " is not a table");
    const std::string service_name(name.str());
    if (!config.services
             .emplace(service_name, ParseService(service_name, *service, config.secrets, origin))
             .second) {
      Bad(origin, "service \"" + service_name + "\" is configured twice (names ignore case)");
    }
  }
  if (!config.default_service.empty() && config.Find("") == nullptr) {
    Bad(origin, "the default service \"" + config.default_service + "\" is not configured");
  }
  return config;
}

PagerConfig LoadPagerConfig(const std::string& path) {
  std::string text;
  {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read the pager configuration " + path);
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  return ParsePagerConfig(text, path);
}

}  // namespace ringwell::host::pager
