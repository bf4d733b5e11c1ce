#include "sipp_greeting.h"

#include <rem_g711.h>
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

// Answers with PCMU on [media_port] and streams the raw mu-law file once
// (SIPp's rtp_stream sends a file as it is, 160 bytes every 20 ms).
std::string Scenario(const std::string& raw_file) {
  const std::string to = "[last_To:];tag=[pid]greeting[call_number]";
  const std::string reply_headers =
      "[last_Via:]\n[last_From:]\n" + to + "\n[last_Call-ID:]\n[last_CSeq:]\n";
  return R"(<?xml version="1.0" encoding="ISO-8859-1"?>
<scenario name="greeting">
  <recv request="INVITE"/>
  <send><![CDATA[
SIP/2.0 180 Ringing
)" + reply_headers +
         R"(Content-Length: 0

]]></send>
  <send retrans="500"><![CDATA[
SIP/2.0 200 OK
)" + reply_headers +
         R"(Contact: <sip:callee@[local_ip]:[local_port]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=callee 1 1 IN IP4 127.0.0.1
s=-
c=IN IP4 127.0.0.1
t=0 0
m=audio [media_port] RTP/AVP 0
a=rtpmap:0 PCMU/8000
]]></send>
  <recv request="ACK"/>
  <nop><action><exec rtp_stream=")" +
         raw_file + R"(,1,0"/></action></nop>
  <recv request="BYE"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
</scenario>
)";
}

// Whether process `pid` has bound UDP `port`: the socket of /proc/net/udp
// with that local port is one of the process's open files. (A port found
// free may have been taken by another program before SIPp could bind it.)
bool Holds(pid_t pid, int port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  std::set<std::string> inodes;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    const std::size_t colon = local.find(':');
    if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port) {
      inodes.insert("socket:[" + inode + "]");
    }
  }
  std::error_code ec;
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (inodes.count(std::filesystem::read_symlink(fd.path(), ec).string()) > 0) return true;
  }
  return false;
}

}  // namespace

SippGreeting::SippGreeting(std::string dir, const std::vector<std::int16_t>& samples)
    : dir_(std::move(dir)) {
  std::filesystem::create_directories(dir_);
  {
    std::ofstream raw(dir_ + "/greeting.ulaw", std::ios::binary);
    for (std::int16_t sample : samples) raw.put(static_cast<char>(g711_pcm2ulaw(sample)));
    std::ofstream(dir_ + "/scenario.xml") << Scenario(dir_ + "/greeting.ulaw");
  }
  // A port found free may be taken before SIPp binds it: then again.
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
                          "-m",
                          "1",
                          "-nostdin",
                          "-timeout",
                          "60s",
                          "-trace_err",
                          "-error_file",
                          dir_ + "/errors.log"})) {
      continue;
    }
    for (int i = 0; i < 200 && !ready_ && process_->Wait(std::chrono::milliseconds(0)) == -1; ++i) {
      ready_ = Holds(process_->pid(), port_) && Holds(process_->pid(), media_port) &&
               Holds(process_->pid(), media_port + 2);
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
}

SippGreeting::~SippGreeting() {
  if (process_ && process_->running()) {
    process_->Signal(SIGKILL);
    process_->Wait(std::chrono::seconds(5));
  }
}

bool SippGreeting::Finished(std::chrono::seconds timeout) {
  if (!process_ || !process_->running()) return false;
  const int status = process_->Wait(timeout);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string SippGreeting::Errors() const {
  return ringwell::testing::ReadFile(dir_ + "/errors.log");
}

}  // namespace ringwell::host::sip::testing
