#include "ringwell/common/leader_lease.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"

namespace ringwell {
namespace {

std::int64_t SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits `interval` or until `stop` is requested.
void Pause(std::stop_token stop, std::chrono::milliseconds interval) {
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  woken.wait_for(lock, stop, interval, [] { return false; });
}

}  // namespace

SharedRootSettings ReadSharedRootSettings() {
  SharedRootSettings settings;
  registry::Key key;
  if (Succeeded(registry::Key::Open(kConfigKey, &key))) {
    std::uint32_t value = 0;
    settings.on = Succeeded(key.QueryDword("SharedRoot", &value)) && value == 1;
    if (Succeeded(key.QueryDword("LeaseSeconds", &value)) && value != 0) {
      settings.lease_seconds = value;
    }
    std::string host;
    if (Succeeded(key.QueryString("HostId", &host)) && IsPlainName(host)) settings.host_id = host;
  }
  if (settings.host_id.empty()) settings.host_id = MachineHostId();
  return settings;
}

std::string MachineHostId() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || !IsPlainName(name)) return "host";
  return name;
}

std::jthread RunEvery(std::chrono::milliseconds interval, std::function<void()> step) {
  return std::jthread([interval, step = std::move(step)](std::stop_token stop) {
    while (!stop.stop_requested()) {
      step();
      Pause(stop, interval);
    }
  });
}

LeaseProbe::LeaseProbe(std::string path, std::chrono::milliseconds lease)
    : path_(std::move(path)), lease_(lease), last_(SteadyNanos()) {}

std::chrono::milliseconds LeaseProbe::interval() const {
  return std::max(std::chrono::milliseconds(100), lease_ / 8);
}

bool LeaseProbe::Probe() {
  if (fd_.get() < 0) {
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd_.get() < 0) return false;
  }
  const std::string stamp = std::to_string(SteadyNanos()) + "\n";
  if (::pwrite(fd_.get(), stamp.data(), stamp.size(), 0) != static_cast<ssize_t>(stamp.size()) ||
      ::fdatasync(fd_.get()) != 0) {
    fd_.reset();
    return false;
  }
  last_ = SteadyNanos();
  return true;
}

bool LeaseProbe::Fresh() const {
  const std::int64_t age = SteadyNanos() - last_.load();
  return age <= std::chrono::duration_cast<std::chrono::nanoseconds>(lease_ / 2).count();
}

LeaderLease::LeaderLease(Settings settings, std::function<void()> on_gain,
                         std::function<void()> on_loss)
    : settings_(std::move(settings)),
      on_gain_(std::move(on_gain)),
      on_loss_(std::move(on_loss)),
      probe_(settings_.probe_file, settings_.lease) {}

LeaderLease::~LeaderLease() { Stop(); }

void LeaderLease::Start() {
  rounds_ = std::jthread([this](std::stop_token stop) {
    while (!stop.stop_requested()) {
      Round();
      Pause(stop, held_ ? probe_.interval() : std::min(settings_.retry, probe_.interval()));
    }
  });
  watchdog_ = RunEvery(std::chrono::milliseconds(100), [this] { Watch(); });
}

void LeaderLease::Stop() {
  rounds_.request_stop();
  watchdog_.request_stop();
  if (rounds_.joinable()) rounds_.join();
  if (watchdog_.joinable()) watchdog_.join();
  if (held_.exchange(false) && on_loss_) on_loss_();
  lock_.reset();
}

void LeaderLease::Round() {
  // A probe every eighth of the lease, whether held or not.
  const auto now = std::chrono::steady_clock::now();
  if (now >= next_probe_) {
    probe_.Probe();
    next_probe_ = now + probe_.interval();
  }
  // What the watchdog dropped is let go here, where waiting on the file
  // system stops nobody.
  if (const std::uint64_t dropped = dropped_.exchange(0); dropped != 0 && dropped == lock_term_) {
    lock_.reset();
  }
  if (held_ || !probe_.Fresh()) return;
  // A descriptor of its own for each try, so that one the watchdog dropped
  // is never taken for a new term.
  lock_.reset(::open(settings_.lock_file.c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666));
  if (lock_.get() < 0) return;
  if (!SetByteLock(lock_.get(), F_WRLCK, settings_.offset, false)) {
    lock_.reset();
    return;
  }
  lock_term_ = term_ + 1;
  term_ = lock_term_;
  held_ = true;
  if (on_gain_) on_gain_();
}

void LeaderLease::Watch() {
  if (probe_.Fresh() || !held_) return;
  const std::uint64_t term = term_;
  if (!held_.exchange(false)) return;
  dropped_ = term;
  if (on_loss_) on_loss_();
}

LeaderLease::Settings RoleLease(const std::string& root, const std::string& role,
                                std::int64_t offset, const SharedRootSettings& shared) {
  LeaderLease::Settings settings;
  settings.lock_file = root + ".leases";
  settings.offset = offset;
  settings.probe_file = root + ".alive-" + role + "-" + shared.host_id;
  settings.lease = std::chrono::seconds(shared.lease_seconds);
  return settings;
}

}  // namespace ringwell
