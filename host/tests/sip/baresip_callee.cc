#include "baresip_callee.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace ringwell::host::sip::testing {
namespace {

constexpr double kRate = 8000;

}  // namespace

int BoundPort(int type, int port) {
  const int fd = ::socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t length = sizeof address;
  int bound = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    bound = ntohs(address.sin_port);
  }
  ::close(fd);
  return bound;
}

bool WaitUntilTaken(int type, int port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (BoundPort(type, port) == port) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

Samples Silence(double seconds) { return Samples(static_cast<std::size_t>(seconds * kRate), 0); }

Samples Noise(double seconds, std::uint32_t seed) {
  // Band-limited noise: white noise through a short moving average.
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> sample(-12000, 12000);
  Samples noise(static_cast<std::size_t>(seconds * kRate));
  int a = 0, b = 0, c = 0;
  for (auto& s : noise) {
    c = b, b = a, a = sample(random);
    s = static_cast<std::int16_t>((a + b + c) / 3);
  }
  return noise;
}

Samples KeyTone(char key, double seconds) {
  static const char* const kRows[] = {"123A", "456B", "789C", "*0#D"};
  static const double kLow[] = {697, 770, 852, 941};
  static const double kHigh[] = {1209, 1336, 1477, 1633};
  double low = 0, high = 0;
  for (int row = 0; row < 4; ++row) {
    if (const char* at = std::strchr(kRows[row], key); at != nullptr) {
      low = kLow[row];
      high = kHigh[at - kRows[row]];
    }
  }
  Samples tone(static_cast<std::size_t>(seconds * kRate));
  for (std::size_t i = 0; i < tone.size(); ++i) {
    const double t = double(i) / kRate;
    tone[i] = static_cast<std::int16_t>(
        8000 * (std::sin(2 * M_PI * low * t) + std::sin(2 * M_PI * high * t)));
  }
  return tone;
}

Samples Join(std::initializer_list<Samples> pieces) {
  Samples all;
  for (const Samples& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

void WriteWav(const std::string& path, const Samples& samples) {
  SF_INFO info{};
  info.samplerate = 8000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return;
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

Samples ReadWav(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return {};
  Samples samples(static_cast<std::size_t>(info.frames) * info.channels);
  const sf_count_t got =
      sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
  if (info.channels > 1) {
    Samples mono;
    for (std::size_t i = 0; i < samples.size(); i += info.channels) mono.push_back(samples[i]);
    return mono;
  }
  return samples;
}

double BestCorrelation(const Samples& needle, const Samples& haystack, std::size_t* offset) {
  if (needle.empty() || haystack.size() < needle.size()) return 0;
  auto correlation = [&](std::size_t at) {
    double product = 0, a = 0, b = 0;
    for (std::size_t i = 0; i < needle.size(); ++i) {
      product += double(needle[i]) * haystack[at + i];
      a += double(needle[i]) * needle[i];
      b += double(haystack[at + i]) * haystack[at + i];
    }
    return a > 0 && b > 0 ? product / std::sqrt(a * b) : 0.0;
  };
  // The line sends silence until the message starts: look around the first
  // loud sample of the haystack.
  std::size_t first = 0;
  while (first < haystack.size() && std::abs(haystack[first]) < 500) ++first;
  const std::size_t from = first > 400 ? first - 400 : 0;
  double best = -1;
  for (std::size_t at = from; at <= first + 400 && at + needle.size() <= haystack.size(); ++at) {
    const double c = correlation(at);
    if (c > best) best = c, *offset = at;
  }
  return best;
}

int FreePort() {
  for (;;) {
    const int port = BoundPort(SOCK_DGRAM, 0);
    if (port != 0 && BoundPort(SOCK_STREAM, port) == port) return port;
  }
}

BaresipCallee::BaresipCallee(std::string dir, const Samples& source, bool answers,
                             std::string certificate)
    : dir_(std::move(dir)), certificate_(std::move(certificate)) {
  namespace fs = std::filesystem;
  fs::create_directories(dir_ + "/rec");
  WriteWav(dir_ + "/source.wav", source);
  // A port found free may be taken before baresip binds it: then again.
  for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
    Stop();
    do port_ = FreePort();
    while (!certificate_.empty() && BoundPort(SOCK_STREAM, port_ + 1) != port_ + 1);
    console_port_ = FreePort();
    WriteConfig(answers);
    process_ = std::make_unique<ringwell::testing::ChildProcess>();
    ready_ =
        process_->Start({"/bin/sh", "-c", "exec /usr/bin/baresip -f \"$0\" 2>/dev/null", dir_}) &&
        process_->WaitForLine("baresip is ready", std::chrono::seconds(10));
  }
}

void BaresipCallee::WriteConfig(bool answers) const {
  std::ofstream config(dir_ + "/config");
  config << "poll_method epoll\n"
         << "sip_listen 127.0.0.1:" << port_ << "\n"
         << "sip_transports " << (certificate_.empty() ? "udp" : "udp,tls") << "\n"
         << (certificate_.empty() ? "" : "sip_certificate " + certificate_ + "\n")
         << "net_interface 127.0.0.1\n"
         << "audio_source aufile," << dir_ << "/source.wav\n"
         << "audio_alert aufile," << dir_ << "/source.wav\n"
         << "ausrc_srate 8000\nausrc_channels 1\n"
         << "module_path /usr/lib/baresip/modules\n"
         << "module g711.so\nmodule aufile.so\nmodule sndfile.so\n"
         << "module cons.so\nmodule menu.so\nmodule account.so\n"
         << "snd_path " << dir_ << "/rec\n"
         << "cons_listen 127.0.0.1:" << console_port_ << "\n";
  std::ofstream accounts(dir_ + "/accounts");
  accounts << "<sip:5550100@127.0.0.1:" << port_
           << ">;regint=0;answermode=" << (answers ? "auto" : "manual")
           << ";audio_codecs=PCMU,PCMA\n";
}

BaresipCallee::~BaresipCallee() { Stop(); }

void BaresipCallee::Stop() {
  if (!process_ || !process_->running()) return;
  process_->Signal(SIGTERM);
  if (process_->Wait(std::chrono::seconds(3)) == -1) {
    process_->Signal(SIGKILL);
    process_->Wait(std::chrono::seconds(3));
  }
}

std::string BaresipCallee::UriTemplate() const {
  return "sip:{number}@127.0.0.1:" + std::to_string(port_);
}

std::string BaresipCallee::TlsUriTemplate() const {
  return "sip:{number}@127.0.0.1:" + std::to_string(port_ + 1) + ";transport=tls";
}

void BaresipCallee::Type(const std::string& text) const {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(console_port_));
  ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::close(fd);
}

bool BaresipCallee::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  return process_->WaitForLine(text, timeout);
}

Samples BaresipCallee::Heard() {
  namespace fs = std::filesystem;
  // First the call is over, then its recording stops growing (baresip closes
  // it as it tears the call down).
  WaitForOutput("session closed", std::chrono::seconds(10));
  Samples last;
  for (int attempt = 0; attempt < 30; ++attempt) {
    std::string newest;
    for (const auto& entry : fs::directory_iterator(dir_ + "/rec")) {
      const std::string name = entry.path().filename();
      if (name.ends_with("-dec.wav") && entry.path().string() > newest) newest = entry.path();
    }
    if (!newest.empty()) {
      Samples heard = ReadWav(newest);
      if (!heard.empty() && heard.size() == last.size()) return heard;
      last = std::move(heard);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return last;
}

}  // namespace ringwell::host::sip::testing
