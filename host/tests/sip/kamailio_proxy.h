// A SIP registrar and loose-routing proxy for the SIP line tests: kamailio
// (Debian's kamailio) on 127.0.0.1, UDP and TCP on one free port, with a
// configuration of its own written into a temporary directory. It asks every
// REGISTER and every INVITE for digest credentials (user and password as
// given), keeps the bindings in memory, relays calls to their request URI
// and stays in their path (Record-Route). Like a strict registrar it refuses
// what a well-formed request never holds: a Route whose URI repeats a
// parameter ("400 Repeated URI Parameter"), and an address of record (From,
// To) with a transport parameter ("400 Transport In Address Of Record").
//
// Thread-safety: one thread at a time uses a proxy.
#pragma once

#include <memory>
#include <string>

#include "ringwell/testing/process.h"

namespace ringwell::host::sip::testing {

class KamailioProxy {
 public:
  KamailioProxy(std::string dir, const std::string& password);
  ~KamailioProxy();

  bool ready() const { return ready_; }
  int port() const { return port_; }
  // "sip:127.0.0.1:PORT".
  std::string Uri() const;
  // What kamailio logged (its replies of refusal among it).
  std::string Log() const;

 private:
  std::string dir_;
  int port_ = 0;
  bool ready_ = false;
  std::unique_ptr<ringwell::testing::ChildProcess> process_;
};

}  // namespace ringwell::host::sip::testing
