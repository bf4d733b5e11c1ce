#include "sipp_callee.h"

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "baresip_callee.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::host::sip::testing {
namespace {

// Whether process `pid` has bound `port` of `protocol` ("udp", "tcp"): a
// socket of /proc/net/<protocol> with that local port is one of its open
// files.
bool Holds(pid_t pid, const std::string& protocol, int port) {
  std::ifstream table("/proc/net/" + protocol);
  std::string line;
  std::getline(table, line);  // the heading
  std::set<std::string> sockets;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    const std::size_t colon = local.find(':');
    if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port) {
      sockets.insert("socket:[" + inode + "]");
    }
  }
  std::error_code ec;
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (sockets.count(std::filesystem::read_symlink(fd.path(), ec).string()) > 0) return true;
  }
  return false;
}

}  // namespace

const char SippCallee::kAudioSdp[] =
    "v=0\n"
    "o=callee 1 1 IN IP4 127.0.0.1\n"
    "s=-\n"
    "c=IN IP4 127.0.0.1\n"
    "t=0 0\n"
    "m=audio [media_port] RTP/AVP 0\n"
    "a=rtpmap:0 PCMU/8000\n";

std::string SippCallee::Reply(const std::string& status, const std::string& headers,
                              const std::string& body) {
  return "<send><![CDATA[\nSIP/2.0 " + status +
         "\n[last_Via:]\n[last_From:]\n[last_To:]\n[last_Call-ID:]\n[last_CSeq:]\n" + headers +
         (body.empty() ? "Content-Length: 0\n\n" : "Content-Length: [len]\n\n" + body) +
         "]]></send>\n";
}

std::string SippCallee::Answer(const std::string& sdp, const std::string& headers) {
  return "<send retrans=\"500\"><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
         "[last_To:];tag=[pid]callee[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
         "Contact: <sip:callee@[local_ip]:[local_port]>\n" +
         headers + "Content-Type: application/sdp\nContent-Length: [len]\n\n" + sdp +
         "]]></send>\n";
}

SippCallee::SippCallee(std::string dir, const std::string& steps, bool tcp, int calls)
    : dir_(std::move(dir)) {
  std::filesystem::create_directories(dir_);
  ringwell::testing::WriteFile(dir_ + "/scenario.xml",
                               "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                               "<scenario name=\"callee\">\n" +
                                   steps + "</scenario>\n");
  // A port found free may be taken by another program before SIPp binds it
  // (SIPp then gives up): then again. Ready once SIPp itself holds its ports.
  for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
    port_ = FreePort();
    const int media_port = FreePort();  // SIPp takes it and the one two above
    process_ = std::make_unique<ringwell::testing::ChildProcess>();
    if (!process_->Start({"/bin/sh",
                          "-c",
                          "exec \"$@\" >/dev/null 2>&1",
                          "sh",
                          "/usr/bin/sipp",
                          "-sf",
                          dir_ + "/scenario.xml",
                          "-i",
                          "127.0.0.1",
                          "-mi",
                          "127.0.0.1",
                          "-p",
                          std::to_string(port_),
                          "-mp",
                          std::to_string(media_port),
                          "-t",
                          tcp ? "t1" : "u1",
                          "-m",
                          std::to_string(calls),
                          "-nostdin",
                          "-timeout",
                          "60s",
                          "-timeout_error",
                          "-trace_err",
                          "-error_file",
                          dir_ + "/errors.log",
                          "-trace_msg",
                          "-message_file",
                          dir_ + "/messages.log",
                          "-trace_logs",
                          "-log_file",
                          dir_ + "/log.txt"})) {
      continue;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready_ && std::chrono::steady_clock::now() < deadline &&
           process_->Wait(std::chrono::milliseconds(0)) == -1) {
      const pid_t pid = process_->pid();
      ready_ = (tcp ? Holds(pid, "tcp", port_) : Holds(pid, "udp", port_)) &&
               Holds(pid, "udp", media_port) && Holds(pid, "udp", media_port + 2);
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

SippCallee::~SippCallee() {
  if (process_ && process_->running()) {
    process_->Signal(SIGKILL);
    process_->Wait(std::chrono::seconds(5));
  }
}

std::string SippCallee::UriTemplate() const {
  return "sip:{number}@127.0.0.1:" + std::to_string(port_);
}

std::string SippCallee::Log() const { return ringwell::testing::ReadFile(dir_ + "/log.txt"); }

bool SippCallee::Passed(std::chrono::seconds timeout) {
  if (!process_ || !process_->running()) return false;
  const int status = process_->Wait(timeout);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string SippCallee::Errors() const {
  return ringwell::testing::ReadFile(dir_ + "/errors.log") + "\n--- messages:\n" +
         ringwell::testing::ReadFile(dir_ + "/messages.log");
}

}  // namespace ringwell::host::sip::testing
