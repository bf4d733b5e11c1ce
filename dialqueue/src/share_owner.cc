#include "share_owner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "dialqueue_log.h"
#include "intake.h"
#include "report_history.h"
#include "request_paths.h"
#include "ringwell/common/directory_lock.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue {
namespace {

constexpr char kOperation[] = "CCallService::Shares";
constexpr std::size_t kPageRoom = 10;
constexpr int kOpenFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

// The ID and type of a request file; nullopt when it does not load.
std::optional<std::pair<std::string, bool>> ReadHead(const std::string& path) {
  xml::Document document;
  if (document.Load(path) != S_OK) return std::nullopt;
  const pugi::xml_node request = document.FirstChild();
  const pugi::xml_attribute id = request.attribute("ID");
  if (!id || !IsPlainName(id.value())) return std::nullopt;
  const pugi::xml_attribute type = request.attribute("Type");
  return std::make_pair(std::string(id.value()), type && EqualsIgnoringCase(type.value(), "Page"));
}

}  // namespace

ShareOwner::ShareOwner(SchedulerState& state, ShareSettings settings)
    : state_(state),
      settings_(std::move(settings)),
      probe_(settings_.requests_dir + ".alive-" + settings_.host_id, settings_.lease) {
  // Results this host cannot book go to a store of its own below the root,
  // which the next owner of their shares books if this host dies.
  state_.unbooked().ShareRoot(settings_.requests_dir, settings_.host_id);
}

ShareOwner::~ShareOwner() {
  Stop();
  LetAllGo();
}

void ShareOwner::Stop() {
  passes_.request_stop();
  probes_.request_stop();
  watchdog_.request_stop();
  if (passes_.joinable()) passes_.join();
  if (probes_.joinable()) probes_.join();
  if (watchdog_.joinable()) watchdog_.join();
}

void ShareOwner::Start() {
  probes_ = RunEvery(probe_.interval(), [this] { Probe(); });
  watchdog_ = RunEvery(std::chrono::milliseconds(100), [this] { Watch(); });
  passes_ = RunEvery(settings_.pass_interval, [this] { Pass(); });
}

void ShareOwner::Know(const std::string& request_file) {
  std::lock_guard lock(known_mutex_);
  if (known_.insert(request_file).second) arrived_.push_back(request_file);
}

std::int64_t ShareOwner::OffsetFor(std::string_view id, std::int32_t share) {
  std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a of the folded ID
  for (const char c : id) {
    hash ^= static_cast<unsigned char>(FoldAscii(c));
    hash *= 0x100000001B3ull;
  }
  // 2^40 slots of 128 bytes: well inside every file system's lock range.
  return static_cast<std::int64_t>((hash >> 24) * 128 + static_cast<std::uint64_t>(share));
}

bool ShareOwner::Probe() { return probe_.Probe(); }

bool ShareOwner::Fresh() const { return probe_.Fresh(); }

void ShareOwner::Watch() {
  if (!Fresh() && !fenced_) Fence();
  HangUpCutCalls();
}

void ShareOwner::Fence() {
  {
    std::lock_guard lock(calls_mutex_);
    fenced_ = true;
    for (auto& [line, call] : calls_) call.cut = true;
  }
  // Another host may take this host's shares once its lease runs out: it
  // ends its calls and stops dialling them now, touching no file (the volume
  // does not answer). The calls go first: dropping the queued entries waits
  // for the queues' locks, which a line stuck on the volume may hold.
  HangUpCutCalls();
  LogFailure(dialqueue_msg::kErrorIn, kOperation,
             "The storage root " + settings_.requests_dir + " did not answer for half a lease (" +
                 std::to_string(settings_.lease.count() / 2) +
                 " ms): this host ends its calls, stops dialling and lets its shares go");
  DropEntries([](const CQueueEntry&) { return true; });
}

void ShareOwner::HangUpCutCalls() {
  std::lock_guard lock(calls_mutex_);
  for (auto& [line, call] : calls_) {
    if (call.cut && call.hang_up) call.hang_up();
  }
}

bool ShareOwner::EnterCall(std::int32_t line, std::function<void()> hang_up) {
  std::lock_guard lock(calls_mutex_);
  if (fenced_) return false;
  calls_[line] = Call{.hang_up = std::move(hang_up), .cut = false};
  return true;
}

bool ShareOwner::LeaveCall(std::int32_t line) {
  std::lock_guard lock(calls_mutex_);
  const auto found = calls_.find(line);
  if (found == calls_.end()) return !fenced_;
  const bool cut = found->second.cut;
  calls_.erase(found);
  return !cut;
}

bool ShareOwner::Drained() {
  if (state_.dial_queue().Size() != 0 || state_.page_queue().Size() != 0) return false;
  std::lock_guard lock(calls_mutex_);
  return calls_.empty();
}

void ShareOwner::DropEntries(const std::function<bool(const CQueueEntry&)>& drop) {
  for (CRequestQueue* queue : {&state_.dial_queue(), &state_.page_queue()}) {
    QueueLock lock(*queue);
    for (const CQueueEntry& entry : queue->Snapshot()) {
      if (!entry.Taken && drop(entry)) queue->Remove(entry.Id, entry.PhoneNumber);
    }
  }
}

int ShareOwner::OwnersFd() {
  if (owners_.get() < 0) {
    owners_.reset(::open((settings_.requests_dir + ".owners").c_str(), kOpenFlags, 0666));
  }
  return owners_.get();
}

bool ShareOwner::TryLock(std::int64_t offset) {
  const int fd = OwnersFd();
  return fd >= 0 && SetByteLock(fd, F_WRLCK, offset, false);
}

void ShareOwner::Unlock(std::int64_t offset) {
  // An unlock that fails (the volume is gone) leaves the lock to the
  // descriptor's close or to the lease.
  if (owners_.get() >= 0 && !SetByteLock(owners_.get(), F_UNLCK, offset, false)) owners_.reset();
}

void ShareOwner::LetGoOf(Request& request, std::int32_t share) {
  Unlock(OffsetFor(request.id, share));
  request.owned.erase(share);
  --owned_count_;
}

void ShareOwner::LetAllGo() {
  for (auto& [path, request] : requests_) {
    while (!request.owned.empty()) LetGoOf(request, *request.owned.begin());
  }
  owners_.reset();  // whatever the unlocks left goes with the descriptor
}

bool ShareOwner::HasRoom(bool page) const {
  const OleDate now = state_.clock()->Now();
  if (page) return state_.page_queue().CountDue(now) < kPageRoom;
  std::size_t taken = 0;
  for (const CQueueEntry& entry : state_.dial_queue().Snapshot()) taken += entry.Taken ? 1 : 0;
  const std::size_t lines = lines_;
  const std::size_t free = lines > taken ? lines - taken : 0;
  return state_.dial_queue().CountDue(now) < 2 * free;
}

void ShareOwner::TakeShares(Request& request) {
  for (std::int32_t share = 0; share < settings_.shares; ++share) {
    if (request.owned.contains(share) || request.done.contains(share)) continue;
    if (!HasRoom(request.page)) return;
    if (!TryLock(OffsetFor(request.id, share))) continue;
    request.owned.insert(share);
    ++owned_count_;
    const ShareSlice slice{.index = share, .count = settings_.shares};
    IntakeOutcome outcome;
    try {
      QueueRequestFile(request.path, state_, &slice, &outcome);
    } catch (const ComError&) {
      // A request that cannot be read whole: what was read is queued.
    }
    if (outcome.queued > 0) continue;
    // Nothing to call: every recipient of the share is final (or it has
    // none). A share whose report could not be read is tried again later.
    if (!outcome.later) request.done.insert(share);
    LetGoOf(request, share);
  }
}

void ShareOwner::Pass() {
  if (fenced_) {
    LetAllGo();
    // Entries a line put back meanwhile are no longer this host's either.
    DropEntries([](const CQueueEntry&) { return true; });
    // Back only once every call the fence cut has ended and left the
    // queues: a share taken again must not meet an old call of its own.
    if (!Fresh() || !Drained()) return;
    std::lock_guard lock(calls_mutex_);
    fenced_ = false;
  }
  {
    std::lock_guard lock(known_mutex_);
    for (std::string& path : arrived_) {
      const std::optional<std::pair<std::string, bool>> head = ReadHead(path);
      if (!head) {
        known_.erase(path);  // handed over again, read again
        continue;
      }
      Request request{
          .path = path, .id = head->first, .page = head->second, .owned = {}, .done = {}};
      requests_.emplace(path, std::move(request));
    }
    arrived_.clear();
  }
  // Gone requests (finished, cancelled) lose their shares.
  for (auto it = requests_.begin(); it != requests_.end();) {
    if (FileExists(it->first)) {
      ++it;
      continue;
    }
    while (!it->second.owned.empty()) LetGoOf(it->second, *it->second.owned.begin());
    {
      std::lock_guard lock(known_mutex_);
      known_.erase(it->first);
    }
    it = requests_.erase(it);
  }
  // Which owned shares still have entries; entries of shares not owned go.
  std::set<std::pair<std::string, std::int32_t>> queued;
  std::map<std::string, Request*> by_id;
  for (auto& [path, request] : requests_) by_id[Folded(request.id)] = &request;
  DropEntries([&](const CQueueEntry& entry) {
    const auto found = by_id.find(Folded(entry.Id));
    return found == by_id.end() || !found->second->owned.contains(entry.Share);
  });
  for (const CRequestQueue* queue : {&state_.dial_queue(), &state_.page_queue()}) {
    for (const CQueueEntry& entry : queue->Snapshot()) {
      queued.insert({Folded(entry.Id), entry.Share});
    }
  }
  if (fenced_) return;  // the entries were dropped, not done
  for (auto& [path, request] : requests_) {
    const std::set<std::int32_t> owned = request.owned;
    for (const std::int32_t share : owned) {
      if (queued.contains({Folded(request.id), share})) continue;
      request.done.insert(share);
      LetGoOf(request, share);
    }
  }
  if (!Fresh()) return;
  for (auto& [path, request] : requests_) TakeShares(request);
}

bool ShareOwner::Finish(const CQueueEntry& entry, const std::function<void()>& book) {
  // A descriptor of its own: the lock must exclude the other lines of this
  // host as well as the other hosts.
  UniqueFd fd(::open((DirectoryOf(entry.RequestFile) + ".owners").c_str(), kOpenFlags, 0666));
  const std::int64_t offset = OffsetFor(entry.Id, kMaxShares + 1);
  if (fd.get() < 0 || !SetByteLock(fd.get(), F_WRLCK, offset, true)) return false;
  bool finished = false;
  if (const std::optional<ReportHistory> history =
          ReportHistory::Read(ReportPathForRequestFile(entry.RequestFile))) {
    if (EqualsIgnoringCase(history->status(), "Completed")) {
      finished = true;
    } else if (history->AllFinal()) {
      book();
      finished = true;
    }
  }
  SetByteLock(fd.get(), F_UNLCK, offset, false);
  return finished;
}

}  // namespace ringwell::dialqueue
