// The SIP side of ringwell-host's configuration: the account the SIP lines
// call from (a PBX extension or a carrier's trunk, with the calls at once and
// the set-ups per second it allows), how a recipient's number becomes a
// request URI, and how long a call may ring. It comes from the host's command line (AddSipOptions);
// the password is read from a file that only its owner may read, and never leaves this process in a
// log, an event or a call result.
//
// Thread-safety: plain values; read-only once the lines are running.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/machine_detection.h"

namespace CLI {
class App;
}

namespace ringwell::host::sip {

struct SipAccount {
  std::string registrar;       // "sip:pbx.example.com"; empty: no registration
  std::string outbound_proxy;  // "sip:proxy.example.com" (any ";lr" taken off); empty: none
  std::string user;            // user of the From URI and of digest authentication
  std::string password;        // digest password (from password_file)
  std::string password_file;
  std::string domain;             // domain of the From URI; default the registrar's host
  std::string transport = "udp";  // "udp", "tcp" or "tls"
  std::string caller_id;          // display name of the From header
  std::string uri_template = "sip:{number}@127.0.0.1";
  std::string local_address;     // address to bind; default the one facing the peer
  std::uint16_t local_port = 0;  // SIP port; 0: any free port
  std::string ca_file;           // TLS: trusted certificates (default: the system's)
  bool tls_verify = true;        // TLS: verify the server's certificate and name
  double ring_period = 6;        // seconds per ring of NumberOfRings
  std::uint32_t register_expires = 600;
  int max_calls = 0;         // calls in progress at once on this account; 0: no limit
  double max_call_rate = 0;  // call set-ups per second; 0: no limit
};

struct SipOptions {
  std::vector<int> lines;  // SIP line numbers; empty: no SIP lines
  SipAccount account;
  MachineDetection detection;  // the host's; a request's own settings go over them
};

// Adds the --sip-* options to the host's command line.
void AddSipOptions(CLI::App& app, SipOptions& options);

// Completes `account` after parsing: reads the password file (refusing one
// that others may read) and fills defaults. False with `error` when the
// configuration cannot be used.
bool PrepareAccount(SipAccount& account, std::string* error);

// Checks the SIP URIs of the account as the options give them (the
// registrar, the outbound proxy and the request URI template with a number in
// it): each must be a "sip:" or "sips:" URI with a host. False with `error`
// naming the option, the value and a good example.
bool CheckSipUris(const SipAccount& account, std::string* error);

// The request URI for `number`: the template with every "{number}" replaced.
// Characters that a URI's user part cannot hold are left out of the number;
// "#" is written "%23".
std::string RequestUri(const std::string& uri_template, const std::string& number);

// `uri` without its URI parameter `name` (ignoring case; every occurrence):
// "sip:proxy;lr;transport=tcp" without "lr" is "sip:proxy;transport=tcp".
std::string WithoutUriParameter(const std::string& uri, std::string_view name);

// The host part of a SIP URI ("sip:user@host:5060;transport=tcp" -> "host").
std::string UriHost(const std::string& uri);

}  // namespace ringwell::host::sip
