#include "kamailio_proxy.h"

#include <signal.h>
#include <sys/socket.h>

#include <filesystem>

#include "baresip_callee.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::host::sip::testing {
namespace {

std::string Config(int port, const std::string& password) {
  const std::string address = "127.0.0.1:" + std::to_string(port);
  return R"(#!KAMAILIO
debug=2
log_stderror=yes
children=2
tcp_children=2
auto_aliases=no
listen=udp:)" +
         address + "\nlisten=tcp:" + address + "\nalias=\"" + address + R"("
mpath="/usr/lib/x86_64-linux-gnu/kamailio/modules/"
loadmodule "tm.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "textops.so"
loadmodule "siputils.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "auth.so"
loadmodule "xlog.so"
modparam("usrloc", "db_mode", 0)

request_route {
  if (!mf_process_maxfwd_header("10")) { sl_send_reply("483", "Too Many Hops"); exit; }
  if (is_present_hf("Route") && $hdr(Route) =~ ";lr[^>]*;lr") {
    xlog("L_NOTICE", "refused $rm: Route $hdr(Route)\n");
    sl_send_reply("400", "Repeated URI Parameter"); exit;
  }
  if ($fu =~ "transport=" || $tu =~ "transport=") {
    xlog("L_NOTICE", "refused $rm: From $fu To $tu\n");
    sl_send_reply("400", "Transport In Address Of Record"); exit;
  }
  if (is_method("REGISTER")) {
    if (!pv_www_authenticate("$td", ")" +
         password + R"(", "0")) { www_challenge("$td", "0"); exit; }
    if (!save("location")) sl_reply_error();
    xlog("L_NOTICE", "registered $tu\n");
    exit;
  }
  if (has_totag()) {
    if (loose_route() || is_method("ACK")) { t_relay(); exit; }
    sl_send_reply("404", "Not Here"); exit;
  }
  if (is_method("CANCEL")) { if (t_check_trans()) t_relay(); exit; }
  loose_route();
  if (is_method("INVITE")) {
    if (!pv_proxy_authenticate("$fd", ")" +
         password + R"(", "0")) { proxy_challenge("$fd", "0"); exit; }
    consume_credentials();
    record_route();
  }
  if (!t_relay()) sl_reply_error();
}
)";
}

}  // namespace

KamailioProxy::KamailioProxy(std::string dir, const std::string& password) : dir_(std::move(dir)) {
  std::filesystem::create_directories(dir_ + "/run");
  // A port found free may be taken before kamailio binds it: then again.
  for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
    port_ = FreePort();
    ringwell::testing::WriteFile(dir_ + "/kamailio.cfg", Config(port_, password));
    process_ = std::make_unique<ringwell::testing::ChildProcess>();
    ready_ = process_->Start({"/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", dir_ + "/kamailio.log",
                              "/usr/sbin/kamailio", "-f", dir_ + "/kamailio.cfg", "-DD", "-E", "-m",
                              "32", "-M", "4", "-Y", dir_ + "/run", "-w", dir_}) &&
             WaitUntilTaken(SOCK_DGRAM, port_, std::chrono::seconds(10)) &&
             WaitUntilTaken(SOCK_STREAM, port_, std::chrono::seconds(10));
  }
}

KamailioProxy::~KamailioProxy() {
  if (process_ && process_->running()) {
    process_->Signal(SIGTERM);
    if (process_->Wait(std::chrono::seconds(5)) == -1) {
      process_->Signal(SIGKILL);
      process_->Wait(std::chrono::seconds(5));
    }
  }
}

std::string KamailioProxy::Uri() const { return "sip:127.0.0.1:" + std::to_string(port_); }

std::string KamailioProxy::Log() const {
  return ringwell::testing::ReadFile(dir_ + "/kamailio.log");
}

}  // namespace ringwell::host::sip::testing
