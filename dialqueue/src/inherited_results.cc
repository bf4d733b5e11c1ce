#include "inherited_results.h"

#include "ringwell/common/safe_files.h"

namespace ringwell::dialqueue {
namespace {

// One store of another host: booked and removed when its host is gone (true
// then, and when it holds nothing); false when its changes still wait, which
// go to *waiting when given. *kept gets what the store held.
bool BookStore(SchedulerState& state, const ReportSteps& steps, const OtherStore& store,
               std::vector<KeptChange>* waiting, std::optional<KeptRequest>* kept) {
  const UniqueFd gone = state.unbooked().TryLockHost(store.host);
  if (gone.get() < 0 && waiting == nullptr) return false;
  *kept = UnbookedResults::ReadStoreFile(store.request_file, store.path);
  // A store that vanished meanwhile was booked; one that does not load holds
  // nothing anyone could book.
  if (!*kept) return true;
  if ((*kept)->changes.empty()) {
    if (gone.get() >= 0) RemoveFile(store.path);
    return true;
  }
  const std::vector<KeptChange>& changes = (*kept)->changes;
  std::size_t done = 0;
  if (gone.get() >= 0) {
    done = steps.BookUnlessHeld(store.request_file, changes);
    if (done == changes.size()) {
      RemoveFile(store.path);
      return true;
    }
  }
  if (waiting != nullptr) {
    waiting->insert(waiting->end(), changes.begin() + static_cast<std::ptrdiff_t>(done),
                    changes.end());
  }
  return false;
}

}  // namespace

bool BookOtherHostsResults(SchedulerState& state, const ReportSteps& steps,
                           const std::string& request_file, std::vector<KeptChange>* waiting) {
  bool none_left = true;
  for (const OtherStore& store : state.unbooked().OtherStores(request_file)) {
    std::optional<KeptRequest> kept;
    none_left = BookStore(state, steps, store, waiting, &kept) && none_left;
  }
  return none_left;
}

std::vector<KeptRequest> BookGoneHostsResults(SchedulerState& state, const std::stop_token& stop) {
  std::vector<KeptRequest> booked;
  for (const OtherStore& store : state.unbooked().OtherStores()) {
    if (stop.stop_requested()) break;
    std::optional<KeptRequest> kept;
    const ReportSteps steps(state, "CCallService::BookResults");
    if (BookStore(state, steps, store, nullptr, &kept) && kept) booked.push_back(std::move(*kept));
  }
  return booked;
}

}  // namespace ringwell::dialqueue
