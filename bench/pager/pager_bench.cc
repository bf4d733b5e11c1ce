// A batch of five pages through the real pager against a web hook on
// 127.0.0.1, side by side with what a user would do instead: the curl command
// line, once per page, one after another (a shell loop). Two gateways: one
// that answers at once, and one that takes 200 ms per reply (a typical SMS
// gateway). Prints min and median of 10 batches and the ratios.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pager/curl_pager.h"

namespace {

using namespace ringwell;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 10;
constexpr int kPages = 5;

struct Hook {
  pid_t pid = -1;
  int port = 0;
};

// Starts the tests' web hook with `delay` seconds per reply.
Hook StartHook(const std::string& delay) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  Hook hook;
  hook.pid = ::fork();
  if (hook.pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    const std::string script = std::string(RINGWELL_PAGER_TEST_DIR) + "/webhook_server.py";
    ::execl("/usr/bin/python3", "python3", script.c_str(), "--record", "/dev/null", "--delay",
            delay.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  FILE* out = ::fdopen(fds[0], "r");
  if (out == nullptr || std::fscanf(out, "listening %d", &hook.port) != 1) std::abort();
  return hook;
}

void StopHook(const Hook& hook) {
  ::kill(hook.pid, SIGTERM);
  ::waitpid(hook.pid, nullptr, 0);
}

struct Figures {
  double min_ms;
  double median_ms;
};

template <class F>
Figures Measure(F&& batch) {
  std::vector<double> times;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    batch();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return {times.front(), times[times.size() / 2]};
}

void Compare(const std::string& label, const std::string& delay) {
  const Hook hook = StartHook(delay);
  const std::string url = "http://127.0.0.1:" + std::to_string(hook.port) + "/send";
  host::pager::PagerConfig config = host::pager::ParsePagerConfig(
      "[services.sms]\nchannel = \"http\"\nurl = \"" + url + "\"\n", "bench.toml");
  config.default_service = "sms";
  auto pager = MakeComObject<host::CurlPager>(std::move(config), "");
  const std::string request =
      "<Request ID=\"x\"><CallTree><Message><MessagePart Type=\"Text\">Server room 2: cooling "
      "failed</MessagePart></Message></CallTree></Request>";
  std::vector<std::string> numbers;
  for (int i = 0; i < kPages; ++i) numbers.push_back("555000" + std::to_string(i));
  std::vector<const char*> number_ptrs, services, requests;
  for (const std::string& number : numbers) {
    number_ptrs.push_back(number.c_str());
    services.push_back("");
    requests.push_back(request.c_str());
  }
  const Figures ours = Measure([&] {
    std::vector<std::string> results;
    if (pager->SendPages(kPages, number_ptrs.data(), services.data(), requests.data(), &results) !=
        S_OK) {
      std::abort();
    }
  });
  const Figures cli = Measure([&] {
    for (const std::string& number : numbers) {
      const std::string command =
          "curl -sS -o /dev/null -H 'Content-Type: application/json' --data "
          "'{\"number\":\"" +
          number + "\",\"text\":\"Server room 2: cooling failed\"}' " + url;
      if (std::system(command.c_str()) != 0) std::abort();
    }
  });
  StopHook(hook);
  std::printf("%-28s CurlPager batch   min %8.1f ms  median %8.1f ms\n", label.c_str(), ours.min_ms,
              ours.median_ms);
  std::printf("%-28s curl x5 in a row  min %8.1f ms  median %8.1f ms\n", "", cli.min_ms,
              cli.median_ms);
  std::printf("%-28s ratio (curl / ours)  min %.1fx  median %.1fx\n", "", cli.min_ms / ours.min_ms,
              cli.median_ms / ours.median_ms);
}

}  // namespace

int main() {
  std::printf("%d pages per batch, %d batches each, web hook on 127.0.0.1\n", kPages, kRounds);
  Compare("gateway answering at once", "0");
  Compare("gateway taking 200 ms", "0.2");
  return 0;
}
