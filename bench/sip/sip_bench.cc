// SIP line benchmark on loopback: RTP pacing of a long message (packet
// interval p50/p99 and drift, as the callee's kernel saw the packets arrive),
// side by side with baresip sending the same length of audio to the same
// callee; call set-up time; CPU per concurrent call at 1, 8 and 32 calls.
//
//   bench_sip [--minutes N]    length of the pacing message (default 1)
//             [--pacing-only]  the pacing alone
//             [--busy N]       N processes keep the processors busy meanwhile
//             [--concurrent N,N,...]  only: N calls at once, each playing a
//                              message of --seconds S (default 20), for each N;
//                              this process's CPU per second of call and per
//                              call, and the callee's packet intervals
//
// It says whether the process may give the RTP sender its real-time
// priority: run it as the service user, with and without the limit the
// unit grants (prlimit --rtprio=10 setpriv --reuid=... bench_sip), to see
// what the priority is worth.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback_callee.h"
#include "sip_call.h"

namespace {

using namespace ringwell;
using Clock = std::chrono::steady_clock;

// A wav file of tones, 8 kHz mono, mu-law (as the host's lines get them) or
// 16-bit PCM (which baresip's file source reads).
void WriteTones(const std::string& path, double seconds, int subtype) {
  SF_INFO info{};
  info.samplerate = 8000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | subtype;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  std::vector<short> block(8000);
  for (long second = 0; second < static_cast<long>(seconds); ++second) {
    for (std::size_t i = 0; i < block.size(); ++i) {
      block[i] =
          static_cast<short>(8000 * std::sin(2 * M_PI * (300 + 100 * (second % 5)) * i / 8000.0));
    }
    sf_writef_short(file, block.data(), 8000);
  }
  sf_close(file);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void PrintTiming(const char* who, const bench::PacketTiming& t) {
  std::printf(
      "  %-14s packets %6ld  interval p50 %6.3f ms  p99 %6.3f ms  max %6.3f ms  drift %+7.3f ms\n",
      who, t.packets, t.p50_ms, t.p99_ms, t.max_ms, t.drift_ms);
}

// One call: dial, play `file`, hang up. Returns the set-up time in seconds.
double OneCall(host::sip::SipStack& stack, const std::string& dir, const std::string& uri,
               const std::string& file) {
  host::sip::SipCall call(stack, dir);
  const auto start = Clock::now();
  const auto dialled = call.Dial(uri, 10);
  const double setup = std::chrono::duration<double>(Clock::now() - start).count();
  if (dialled.outcome != host::sip::DialOutcome::kAnswered) return -1;
  std::vector<std::string> unplayed;
  if (!file.empty()) call.Play({{"File", file}}, &unplayed);
  call.HangUp();
  return setup;
}

// baresip sending `seconds` of audio to the callee; its timing.
std::optional<bench::PacketTiming> Baresip(bench::LoopbackCallee& callee, const std::string& dir,
                                           double seconds) {
  const std::string config = dir + "/baresip";
  std::filesystem::create_directories(config);
  std::ofstream(config + "/config")
      << "poll_method epoll\nsip_listen 127.0.0.1:0\nsip_transports udp\n"
      << "net_interface 127.0.0.1\naudio_source aufile," << dir << "/long-pcm.wav\n"
      << "ausrc_srate 8000\nausrc_channels 1\nmodule_path /usr/lib/baresip/modules\n"
      << "module g711.so\nmodule aufile.so\nmodule menu.so\nmodule account.so\n";
  std::ofstream(config + "/accounts") << "<sip:bench@127.0.0.1>;regint=0;audio_codecs=PCMU\n";
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string dial = "/dial sip:callee@127.0.0.1:" + std::to_string(callee.port());
    const std::string quit = std::to_string(static_cast<int>(seconds) + 15);
    (void)!std::freopen("/dev/null", "w", stdout);
    (void)!std::freopen("/dev/null", "w", stderr);
    execl("/usr/bin/baresip", "baresip", "-f", config.c_str(), "-e", dial.c_str(), "-t",
          quit.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  auto timing = callee.NextCall(seconds + 20);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return timing;
}

// Whether a thread of this process may run under SCHED_FIFO at 10, as the
// RTP sender asks.
bool MayRunRealtime() {
  bool may = false;
  std::thread([&] {
    const sched_param priority{.sched_priority = 10};
    may = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
  }).join();
  return may;
}

// `count` processes that spin until they are killed.
std::vector<pid_t> KeepBusy(int count) {
  std::vector<pid_t> spinners;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (;;) __asm__ __volatile__("");  // spins; the asm keeps the loop
    }
    if (pid > 0) spinners.push_back(pid);
  }
  return spinners;
}

// `calls` calls at once, each playing `file` (`seconds` long): the CPU this
// process spent per second of call and per call, and the intervals the
// callee saw (each call's p50 and p99: median and worst over the calls).
void Concurrent(host::sip::SipStack& stack, bench::LoopbackCallee& callee, const std::string& dir,
                const std::string& uri, int calls, double seconds) {
  std::atomic<int> answered{0};
  const double cpu_before = CpuSeconds();
  const auto start = Clock::now();
  {
    std::vector<std::jthread> lines;
    for (int i = 0; i < calls; ++i) {
      lines.emplace_back([&] {
        if (OneCall(stack, dir, uri, "concurrent.wav") >= 0) ++answered;
      });
    }
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds() - cpu_before;
  std::vector<double> p50, p99, worst;
  long packets = 0;
  for (int i = 0; i < calls; ++i) {
    const auto timing = callee.NextCall(30);
    if (!timing) break;
    packets += timing->packets;
    if (timing->packets < 3) continue;
    p50.push_back(timing->p50_ms);
    p99.push_back(timing->p99_ms);
    worst.push_back(timing->max_ms);
  }
  std::sort(p50.begin(), p50.end());
  std::sort(p99.begin(), p99.end());
  std::sort(worst.begin(), worst.end());
  auto median = [](const std::vector<double>& v) { return v.empty() ? 0.0 : v[v.size() / 2]; };
  auto last = [](const std::vector<double>& v) { return v.empty() ? 0.0 : v.back(); };
  double load[3] = {};
  getloadavg(load, 3);
  std::printf(
      "  %4d calls x %.0f s: answered %d, wall %.1f s, CPU %.2f s: %.3f ms per second of call, "
      "%.1f ms per call; packets %ld; intervals: p50 median %.3f ms, p99 median %.3f ms, "
      "worst call's p99 %.3f ms, max %.3f ms; load %.2f\n",
      calls, seconds, answered.load(), wall, cpu, 1000 * cpu / (calls * seconds),
      1000 * cpu / calls, packets, median(p50), median(p99), last(p99), last(worst), load[0]);
  std::fflush(stdout);
}

void StopAll(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 1;
  bool pacing_only = false;
  int busy = 0;
  double seconds = 20;
  std::vector<int> concurrent;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--concurrent") == 0 && i + 1 < argc) {
      for (char* at = argv[++i]; *at != 0;) {
        concurrent.push_back(static_cast<int>(std::strtol(at, &at, 10)));
        if (*at == ',') ++at;
      }
    }
    if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) minutes = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--busy") == 0 && i + 1 < argc) busy = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--pacing-only") == 0) pacing_only = true;
  }
  std::fflush(stdout);
  bench::LoopbackCallee callee;  // forked before this process starts libre
  if (callee.port() == 0) {
    std::fprintf(stderr, "bench_sip: the loopback callee did not start\n");
    return 1;
  }
  char dir_template[] = "/tmp/ringwell-sip-bench-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  WriteTones(dir + "/long.wav", minutes * 60, SF_FORMAT_ULAW);
  WriteTones(dir + "/long-pcm.wav", minutes * 60, SF_FORMAT_PCM_16);
  WriteTones(dir + "/short.wav", 10, SF_FORMAT_ULAW);

  host::sip::SipAccount account;
  account.uri_template = "sip:{number}@127.0.0.1:" + std::to_string(callee.port());
  account.local_address = "127.0.0.1";
  std::string error;
  host::sip::PrepareAccount(account, &error);
  auto stack = host::sip::SipStack::Start(account, &error);
  if (!stack) {
    std::fprintf(stderr, "bench_sip: %s\n", error.c_str());
    return 1;
  }
  const std::string uri = host::sip::RequestUri(account.uri_template, "callee");

  if (!concurrent.empty()) {
    WriteTones(dir + "/concurrent.wav", seconds, SF_FORMAT_ULAW);
    std::printf("Calls at once, each playing a %.0f s message (this process: lines, SIP, RTP)\n",
                seconds);
    for (int calls : concurrent) Concurrent(*stack, callee, dir + "/", uri, calls, seconds);
    stack.reset();
    std::filesystem::remove_all(dir);
    return 0;
  }

  std::printf(
      "RTP pacing over a %g-minute message (20 ms packets, arrival at the callee), user %d, "
      "%d busy processes, the sender %s\n",
      minutes, static_cast<int>(geteuid()), busy,
      MayRunRealtime() ? "in real time (SCHED_FIFO 10)" : "without real-time priority");
  std::vector<pid_t> spinners = KeepBusy(busy);
  OneCall(*stack, dir + "/", uri, "long.wav");
  const auto ours = callee.NextCall(10);
  const auto theirs = Baresip(callee, dir, minutes * 60);
  StopAll(spinners);
  if (ours) PrintTiming("ringwell-host", *ours);
  if (theirs) PrintTiming("baresip", *theirs);
  if (ours && theirs && theirs->p99_ms > 20) {
    std::printf("  p99 pacing error: ringwell %.3f ms, baresip %.3f ms (ratio %.2f)\n",
                ours->p99_ms - 20, theirs->p99_ms - 20,
                (ours->p99_ms - 20) / std::max(theirs->p99_ms - 20, 1e-6));
  }

  if (pacing_only) {
    stack.reset();
    std::filesystem::remove_all(dir);
    return 0;
  }
  std::vector<double> setups;
  for (int i = 0; i < 20; ++i) {
    setups.push_back(OneCall(*stack, dir + "/", uri, ""));
    callee.NextCall(5);
  }
  std::sort(setups.begin(), setups.end());
  std::printf(
      "Call set-up on loopback (INVITE to 200 OK and ACK), 20 calls: min %.2f ms, "
      "median %.2f ms\n",
      setups.front() * 1000, setups[setups.size() / 2] * 1000);

  std::printf("CPU per concurrent call (10 s of message each)\n");
  for (int calls : {1, 8, 32}) {
    const double cpu_before = CpuSeconds();
    const auto start = Clock::now();
    {
      std::vector<std::jthread> lines;
      for (int i = 0; i < calls; ++i) {
        lines.emplace_back([&] { OneCall(*stack, dir + "/", uri, "short.wav"); });
      }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu_before;
    for (int i = 0; i < calls; ++i) callee.NextCall(5);
    std::printf("  %2d calls: %.2f%% of a core per call, %.1f%% in all\n", calls,
                100 * cpu / wall / calls, 100 * cpu / wall);
  }
  stack.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
