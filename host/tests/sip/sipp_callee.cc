#include "sipp_callee.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "baresip_callee.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::host::sip::testing {

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

SippCallee::SippCallee(std::string dir, const std::string& steps, bool tcp) : dir_(std::move(dir)) {
  std::filesystem::create_directories(dir_);
  ringwell::testing::WriteFile(dir_ + "/scenario.xml",
                               "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                               "<scenario name=\"callee\">\n" +
                                   steps + "</scenario>\n");
  // A port found free may be taken before SIPp binds it: then again.
  for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
    port_ = FreePort();
    const int media_port = FreePort();
    process_ = std::make_unique<ringwell::testing::ChildProcess>();
    ready_ = process_->Start({"/bin/sh",
                              "-c",
                              "exec \"$@\" >/dev/null 2>&1",
                              "sh",
                              "/usr/bin/sipp",
                              "-sf",
                              dir_ + "/scenario.xml",
                              "-i",
                              "127.0.0.1",
                              "-p",
                              std::to_string(port_),
                              "-mp",
                              std::to_string(media_port),
                              "-t",
                              tcp ? "t1" : "u1",
                              "-m",
                              "1",
                              "-nostdin",
                              "-timeout",
                              "60s",
                              "-timeout_error",
                              "-trace_err",
                              "-error_file",
                              dir_ + "/errors.log",
                              "-trace_msg",
                              "-message_file",
                              dir_ + "/messages.log"}) &&
             WaitUntilTaken(tcp ? SOCK_STREAM : SOCK_DGRAM, port_, std::chrono::seconds(10));
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
