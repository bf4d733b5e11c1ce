// The peers of the pager tests: the web hook (webhook_server.py) and the SMTP
// server (smtp_server.py) beside this file, run with the system's Python on
// 127.0.0.1, each recording what it received as JSON lines; and a
// certificate for 127.0.0.1 made with openssl for the TLS cases.
//
// Thread-safety: one thread at a time uses a server.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"

namespace ringwell::host::pager::testing {

class PeerServer {
 public:
  // Starts `script` with `arguments` plus --record; false when it did not
  // report its port.
  bool Start(const std::string& script, const std::string& record,
             std::vector<std::string> arguments) {
    record_ = record;
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     std::string(RINGWELL_PAGER_TEST_DIR) + "/" + script,
                                     "--record", record};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    if (!process_.Start(argv)) return false;
    if (!process_.WaitForLine("\n", std::chrono::seconds(20))) return false;
    const std::string& output = process_.output();
    if (!output.starts_with("listening ")) return false;
    port_ = std::stoi(output.substr(10));
    return true;
  }
  int port() const { return port_; }
  // Everything received so far, one JSON object per request or message.
  std::vector<nlohmann::json> Received() const {
    std::vector<nlohmann::json> received;
    const std::string text = ringwell::testing::ReadFile(record_);
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      received.push_back(nlohmann::json::parse(text.substr(at, end - at)));
    }
    return received;
  }

 private:
  ringwell::testing::ChildProcess process_;
  std::string record_;
  int port_ = 0;
};

// Makes DIR/cert.pem and DIR/key.pem for 127.0.0.1; false when openssl failed.
inline bool MakeCertificate(const std::string& dir) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
      dir + "key.pem -out " + dir + "cert.pem 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

}  // namespace ringwell::host::pager::testing
