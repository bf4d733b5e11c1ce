#include "sip_account.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>

#include "line_list_option.h"
#include "ringwell/common/text.h"

// After the C++ headers: libre's headers define names they would see.
#include <re.h>

namespace ringwell::host::sip {

void AddSipOptions(CLI::App& app, SipOptions& options) {
  SipAccount& a = options.account;
  AddLineListOption(app, "--sip-lines", &options.lines,
                    "SIP line numbers, e.g. 5,6 or 1-500 or 1-4,7 (default none)");
  app.add_option(
      "--sip-uri", a.uri_template,
      "request URI of a number, {number} standing for it (default sip:{number}@127.0.0.1)");
  app.add_option("--sip-registrar", a.registrar,
                 "register at this SIP URI (default: no registration)");
  app.add_option("--sip-proxy", a.outbound_proxy, "outbound proxy SIP URI");
  app.add_option("--sip-user", a.user, "SIP user name (From and digest authentication)");
  app.add_option("--sip-password-file", a.password_file,
                 "file holding the digest password; must not be readable by group or others");
  app.add_option("--sip-domain", a.domain,
                 "domain of the From URI (default: the registrar's host)");
  app.add_option("--sip-transport", a.transport, "udp, tcp or tls (default udp)")
      ->check(CLI::IsMember({"udp", "tcp", "tls"}));
  app.add_option("--sip-caller-id", a.caller_id, "display name shown to the callee");
  app.add_option("--sip-local-address", a.local_address,
                 "local IP address for SIP and RTP (default: the one facing the peer)");
  app.add_option("--sip-local-port", a.local_port, "local SIP port (default: any free port)");
  app.add_option("--sip-ca-file", a.ca_file, "TLS: certificates to trust (default: the system's)");
  app.add_flag("!--sip-no-tls-verify", a.tls_verify,
               "TLS: do not verify the server's certificate (for tests only)");
  app.add_option("--sip-ring-period", a.ring_period,
                 "seconds per ring; NumberOfRings times this is the ring timeout (default 6)")
      ->check(CLI::PositiveNumber);
  app.add_option("--sip-register-expires", a.register_expires,
                 "registration lifetime asked for, seconds (default 600)")
      ->check(CLI::Range(60, 86400));
  app.add_option("--sip-max-calls", a.max_calls,
                 "calls in progress at once that the account allows; further calls wait "
                 "(default: no limit but the lines)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--sip-max-call-rate", a.max_call_rate,
                 "call set-ups per second that the account allows, e.g. 10 or 0.5; set-ups are "
                 "spaced evenly and never come faster (default: no limit)")
      ->check(CLI::Range(0.001, 10000.0));
}

namespace {

// Whether `text` is a SIP URI libre can use: scheme sip or sips, and a host.
bool IsSipUri(const std::string& text) {
  if (text.empty() || text.find_first_of(" \t\r\n<>\"") != std::string::npos) return false;
  struct pl pl;
  pl_set_str(&pl, text.c_str());
  struct uri uri {};
  if (uri_decode(&uri, &pl) != 0) return false;
  const std::string scheme(uri.scheme.p, uri.scheme.l);
  return (EqualsIgnoringCase(scheme, "sip") || EqualsIgnoringCase(scheme, "sips")) &&
         uri.host.l > 0;
}

}  // namespace

bool CheckSipUris(const SipAccount& account, std::string* error) {
  const struct {
    const char* option;
    std::string value;
    std::string tried;
    const char* example;
  } uris[] = {
      {"--sip-registrar", account.registrar, account.registrar,
       "sip:pbx.example.com or sip:192.0.2.10:5060"},
      {"--sip-proxy", account.outbound_proxy, account.outbound_proxy,
       "sip:proxy.example.com;lr or sip:192.0.2.10:5060"},
      {"--sip-uri", account.uri_template, RequestUri(account.uri_template, "5551234"),
       "sip:{number}@pbx.example.com or sip:{number}@192.0.2.10:5060"},
  };
  for (const auto& uri : uris) {
    if (uri.value.empty() || IsSipUri(uri.tried)) continue;
    *error = std::string(uri.option) + " " + uri.value + " is not a SIP URI; give one such as " +
             uri.example;
    return false;
  }
  return true;
}

bool PrepareAccount(SipAccount& account, std::string* error) {
  if (!CheckSipUris(account, error)) return false;
  if (!account.password_file.empty()) {
    const int fd = ::open(account.password_file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      *error = "cannot open the SIP password file " + account.password_file + ": " +
               std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) != 0) {
      ::close(fd);
      *error = "the SIP password file " + account.password_file +
               " must be a regular file that group and others cannot read or write; to fix: "
               "chmod 600 " +
               account.password_file + " (it must belong to the user the host runs as)";
      return false;
    }
    char buffer[1024];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got < 0) {
      *error = "cannot read the SIP password file " + account.password_file;
      return false;
    }
    account.password.assign(buffer, static_cast<std::size_t>(got));
    while (!account.password.empty() &&
           (account.password.back() == '\n' || account.password.back() == '\r')) {
      account.password.pop_back();
    }
  }
  if (account.uri_template.find("{number}") == std::string::npos) {
    *error = "--sip-uri must hold {number}";
    return false;
  }
  if (account.domain.empty()) {
    account.domain = UriHost(account.registrar.empty() ? account.uri_template : account.registrar);
  }
  if (account.user.empty()) account.user = "ringwell";
  // libre marks every Route it writes as loose-routing itself.
  account.outbound_proxy = WithoutUriParameter(account.outbound_proxy, "lr");
  return true;
}

std::string WithoutUriParameter(const std::string& uri, std::string_view name) {
  // The parameters run from the first ";" to the headers ("?") or the end.
  const std::size_t start = uri.find(';');
  if (start == std::string::npos) return uri;
  const std::size_t end = std::min(uri.find('?', start), uri.size());
  std::string kept = uri.substr(0, start);
  for (std::size_t at = start; at < end;) {
    const std::size_t next = std::min(uri.find(';', at + 1), end);
    const std::string_view parameter(uri.data() + at + 1, next - at - 1);
    const std::string_view key = parameter.substr(0, parameter.find('='));
    if (!EqualsIgnoringCase(key, name)) {
      kept.append(uri, at, next - at);
    }
    at = next;
  }
  return kept + uri.substr(end);
}

std::string RequestUri(const std::string& uri_template, const std::string& number) {
  std::string user;
  for (char c : number) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        std::strchr("+*#-._~", c) != nullptr) {
      user += c == '#' ? std::string("%23") : std::string(1, c);
    }
  }
  std::string uri = uri_template;
  for (std::size_t at = uri.find("{number}"); at != std::string::npos;
       at = uri.find("{number}", at + user.size())) {
    uri.replace(at, 8, user);
  }
  return uri;
}

std::string UriHost(const std::string& uri) {
  std::string rest = uri;
  if (const auto colon = rest.find(':'); rest.rfind("sip", 0) == 0 && colon != std::string::npos) {
    rest = rest.substr(colon + 1);
  }
  if (const auto at = rest.find('@'); at != std::string::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    return rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  const auto end = rest.find_first_of(":;>?");
  return rest.substr(0, end);
}

}  // namespace ringwell::host::sip
