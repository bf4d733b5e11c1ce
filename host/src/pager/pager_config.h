// The configuration of the real pager of ringwell-host: which delivery
// channel each service name selects and how that channel reaches its gateway.
// It is a TOML file named on the host's command line (--pager-config); the
// sample host/pager.sample.toml shows every setting:
//
//   default_service = "sms"     # the service of pages whose recipient names none
//   timeout = 10                # seconds one page may take (default 10)
//   max_length = 160            # characters of page text (default 160, 0: no limit)
//   secrets = "/etc/ringwell/pager-secrets.toml"   # name = "value" lines;
//                               # a relative path is taken beside this file
//
//   [services.sms]              # a service name, matched ignoring case
//   channel = "http"            # a web hook
//   url = "https://gw.example/send?to={number}"
//   method = "POST"             # default POST, or GET when body = "none"
//   body = "json"               # "json" (default), "form" or "none"
//   fields = { to = "{number}", text = "{text}" }
//   headers = { Authorization = "Bearer {secret:sms_key}" }
//
//   [services.mail]
//   channel = "mail"            # e-mail over SMTP
//   server = "smtp://mail.example.net:587"   # smtp:// (STARTTLS) or smtps://
//   from = "ringwell@example.net"
//   to = "{number}@sms.example.net"          # default "{number}"
//   subject = "Page"            # default "Page from Ringwell"
//   user = "ringwell"
//   password = "{secret:smtp_password}"
//   starttls = true             # false allows a server without TLS
//   ca_file = "/etc/ssl/certs/my-ca.pem"     # both channels: extra trusted CAs
//   timeout = 30                # both channels: this service's timeout (default: the global one)
//
// Templates may hold {number}, {text} (the page text), {id} (the request ID)
// and {secret:NAME} (a value of the secrets file); any other {...} is an error.
//
// Thread-safety: a loaded configuration is read-only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "pager/secrets.h"
#include "ringwell/common/text.h"

namespace ringwell::host::pager {

enum class Channel { kHttp, kMail };
enum class BodyFormat { kJson, kForm, kNone };

struct ServiceConfig {
  std::string name;
  Channel channel = Channel::kHttp;
  std::string ca_file;         // empty: the system's trusted certificates
  double timeout_seconds = 0;  // 0: the configuration's timeout
  // http
  std::string url;
  std::string method;
  BodyFormat body = BodyFormat::kJson;
  std::vector<std::pair<std::string, std::string>> fields;   // sorted by name
  std::vector<std::pair<std::string, std::string>> headers;  // sorted by name
  // mail
  std::string server;
  std::string from;
  std::string to = "{number}";
  std::string subject = "Page from Ringwell";
  std::string user;
  std::string password;
  bool starttls = true;
};

struct PagerConfig {
  std::string default_service;
  double timeout_seconds = 10;
  std::size_t max_length = 160;
  Secrets secrets;
  std::map<std::string, ServiceConfig, LessIgnoringCase> services;

  // The service for a page's service string (empty: the default service);
  // nullptr when none is configured under that name.
  const ServiceConfig* Find(const std::string& service) const;
  // How long a page through `service` may take.
  double TimeoutOf(const ServiceConfig& service) const {
    return service.timeout_seconds > 0 ? service.timeout_seconds : timeout_seconds;
  }
};

// Reads and checks a configuration file and the secrets file it names. Throws
// std::runtime_error saying what is wrong (never quoting a secret).
PagerConfig LoadPagerConfig(const std::string& path);
PagerConfig ParsePagerConfig(const std::string& toml_text, const std::string& origin);

}  // namespace ringwell::host::pager
