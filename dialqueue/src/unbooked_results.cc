#include "unbooked_results.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string_view>

#include "ringwell/common/error_info.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {
namespace {

constexpr char kStatusKind[] = "Status";
constexpr char kCallKind[] = "Call";
constexpr char kStoresDir[] = ".unbooked/";  // below the shared Requests directory
constexpr char kLockName[] = ".lock";
constexpr std::string_view kSuffix = ".unbooked";

// Requests/ID.xml -> ID.
std::string StemOf(const std::string& request_file) {
  const std::string name = BaseNameOf(request_file);
  return name.substr(0, std::min(name.rfind('.'), name.size()));
}

// A store file of a host directory: ID.unbooked (the temporary files of its
// atomic saves and the lock file are hidden).
bool IsStoreName(const std::string& name) {
  return name.size() > kSuffix.size() && name.front() != '.' && name.ends_with(kSuffix);
}

// The write lock of a host's store directory `host_dir`, taken never waiting.
UniqueFd LockHostStore(const std::string& host_dir) {
  UniqueFd fd;
  if (Failed(OpenFile(host_dir + kLockName, O_RDWR | O_CREAT | O_NONBLOCK, 0666, &fd))) return {};
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  while (::fcntl(fd.get(), F_OFD_SETLK, &range) != 0) {
    if (errno != EINTR) return {};
  }
  return fd;
}

std::optional<KeptRequest> ReadStore(const std::string& request_file, const std::string& path) {
  xml::Document document;
  if (document.Load(path) != S_OK) return std::nullopt;
  const pugi::xml_node root = document.FirstChild();
  KeptRequest request{.request_file = request_file,
                      .id = root.attribute("ID").value(),
                      .page = root.attribute("Page").as_bool(),
                      .finish = root.attribute("Finish").as_bool(),
                      .changes = {}};
  for (pugi::xml_node change : xml::ElementsByName(root, "Change")) {
    const bool call = std::string_view(change.attribute("Kind").value()) == kCallKind;
    request.changes.push_back(
        {.kind = call ? tallier::ReportChange::kCallResult : tallier::ReportChange::kStatus,
         .recipient = change.attribute("Recipient").value(),
         .text = xml::Text(change)});
  }
  return request;
}

}  // namespace

std::optional<KeptRequest> UnbookedResults::ReadStoreFile(const std::string& request_file,
                                                          const std::string& path) {
  return ReadStore(request_file, path);
}

void UnbookedResults::ShareRoot(const std::string& requests_dir, const std::string& host_id) {
  MutexLock lock(mutex_);
  if (requests_dir_.empty()) {
    requests_dir_ = requests_dir;
    host_id_ = host_id;
  }
  TakeOwnStoreLocked();
}

bool UnbookedResults::Shared() const {
  MutexLock lock(mutex_);
  return !requests_dir_.empty();
}

bool UnbookedResults::TakeOwnStore() {
  MutexLock lock(mutex_);
  return TakeOwnStoreLocked();
}

bool UnbookedResults::TakeOwnStoreLocked() {
  if (requests_dir_.empty()) return false;
  if (own_lock_.get() >= 0) return true;
  const std::string own = requests_dir_ + kStoresDir + host_id_ + "/";
  // Each either made now or there already (named without the final "/").
  MakeDirectory(requests_dir_ + std::string(kStoresDir, sizeof(kStoresDir) - 2));
  MakeDirectory(own.substr(0, own.size() - 1));
  own_lock_ = LockHostStore(own);
  if (own_lock_.get() < 0) return false;
  // What an earlier life of this host left, and nobody booked since, goes
  // before what waits in memory.
  std::vector<DirectoryEntry> entries;
  if (Succeeded(ListDirectory(own, &entries))) {
    for (const DirectoryEntry& entry : entries) {
      if (entry.type != DirectoryEntry::Type::kFile || !IsStoreName(entry.name)) continue;
      const std::string request_file =
          requests_dir_ + entry.name.substr(0, entry.name.size() - kSuffix.size()) + ".xml";
      std::optional<KeptRequest> stored = ReadStore(request_file, own + entry.name);
      if (!stored) continue;
      auto [found, added] = waiting_.try_emplace(request_file, *stored);
      if (added) continue;
      found->second.finish = found->second.finish || stored->finish;
      found->second.changes.insert(found->second.changes.begin(), stored->changes.begin(),
                                   stored->changes.end());
    }
  }
  for (const auto& [file, request] : waiting_) {
    try {
      SaveLocked(request);
    } catch (const ComError&) {  // kept in memory only, as before
    }
  }
  return true;
}

std::string UnbookedResults::PathOf(const std::string& request_file) const {
  MutexLock lock(mutex_);
  return PathOfLocked(request_file);
}

std::string UnbookedResults::PathOfLocked(const std::string& request_file) const {
  if (requests_dir_.empty()) return StorePathOf(request_file);
  return requests_dir_ + kStoresDir + host_id_ + "/" + StemOf(request_file) + std::string(kSuffix);
}

std::vector<OtherStore> UnbookedResults::OtherStores(const std::string& request_file) const {
  std::string requests_dir, own;
  {
    MutexLock lock(mutex_);
    requests_dir = requests_dir_;
    if (own_lock_.get() >= 0) own = host_id_;
  }
  std::vector<OtherStore> found;
  std::vector<DirectoryEntry> hosts;
  if (requests_dir.empty() || Failed(ListDirectory(requests_dir + kStoresDir, &hosts))) {
    return found;
  }
  const std::string wanted =
      request_file.empty() ? std::string() : StemOf(request_file) + std::string(kSuffix);
  for (const DirectoryEntry& host : hosts) {
    if (host.type != DirectoryEntry::Type::kDirectory || host.name == own) continue;
    const std::string host_dir = requests_dir + kStoresDir + host.name + "/";
    if (!wanted.empty()) {
      if (IsRegularFile(host_dir + wanted)) {
        found.push_back(
            {.host = host.name, .path = host_dir + wanted, .request_file = request_file});
      }
      continue;
    }
    std::vector<DirectoryEntry> stores;
    if (Failed(ListDirectory(host_dir, &stores))) continue;
    for (const DirectoryEntry& store : stores) {
      if (store.type != DirectoryEntry::Type::kFile || !IsStoreName(store.name)) continue;
      found.push_back(
          {.host = host.name,
           .path = host_dir + store.name,
           .request_file =
               requests_dir + store.name.substr(0, store.name.size() - kSuffix.size()) + ".xml"});
    }
  }
  return found;
}

UniqueFd UnbookedResults::TryLockHost(const std::string& host) const {
  std::string requests_dir;
  {
    MutexLock lock(mutex_);
    requests_dir = requests_dir_;
  }
  if (requests_dir.empty() || !IsPlainName(host)) return {};
  return LockHostStore(requests_dir + kStoresDir + host + "/");
}

std::string UnbookedResults::StorePathOf(const std::string& request_file) {
  const std::size_t slash = request_file.rfind('/');
  const std::size_t dot = request_file.rfind('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return request_file.substr(0, has_extension ? dot : request_file.size()) + ".unbooked";
}

bool UnbookedResults::Recover(const std::string& request_file) {
  MutexLock lock(mutex_);
  if (waiting_.contains(request_file)) return true;
  // A shared root's store is this host's only while it holds its lock.
  if (!requests_dir_.empty() && own_lock_.get() < 0) return false;
  std::optional<KeptRequest> stored = ReadStore(request_file, PathOfLocked(request_file));
  if (!stored) return false;
  if (stored->changes.empty() && !stored->finish) {
    RemoveFile(PathOfLocked(request_file));
    return false;
  }
  waiting_.emplace(request_file, std::move(*stored));
  return true;
}

bool UnbookedResults::Has(const std::string& request_file) const {
  MutexLock lock(mutex_);
  return waiting_.contains(request_file);
}

std::optional<KeptRequest> UnbookedResults::Get(const std::string& request_file) const {
  MutexLock lock(mutex_);
  const auto found = waiting_.find(request_file);
  if (found == waiting_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> UnbookedResults::Waiting() const {
  MutexLock lock(mutex_);
  std::vector<std::string> files;
  for (const auto& [file, request] : waiting_) files.push_back(file);
  return files;
}

HRESULT UnbookedResults::Keep(const KeptRequest& request, const std::vector<KeptChange>& changes,
                              bool finish) {
  MutexLock lock(mutex_);
  auto [found, added] = waiting_.try_emplace(request.request_file, request);
  if (added) found->second.changes.clear();
  KeptRequest& kept = found->second;
  kept.finish = kept.finish || finish;
  kept.changes.insert(kept.changes.end(), changes.begin(), changes.end());
  try {
    return SaveLocked(kept);
  } catch (const ComError& e) {  // text the store cannot carry: kept in memory only
    return e.code();
  }
}

bool UnbookedResults::Booked(const std::string& request_file, std::size_t count) {
  MutexLock lock(mutex_);
  const auto found = waiting_.find(request_file);
  if (found == waiting_.end()) return false;
  KeptRequest& kept = found->second;
  kept.changes.erase(
      kept.changes.begin(),
      kept.changes.begin() + static_cast<std::ptrdiff_t>(std::min(count, kept.changes.size())));
  if (!kept.changes.empty()) {
    if (count > 0) {
      try {
        SaveLocked(kept);
      } catch (const ComError&) {  // the file keeps more than is left: booked twice at worst
      }
    }
    return false;
  }
  const bool finish = kept.finish;
  waiting_.erase(found);
  if (requests_dir_.empty() || own_lock_.get() >= 0) RemoveFile(PathOfLocked(request_file));
  return finish;
}

bool UnbookedResults::DeferIntake(const std::string& request_file) {
  MutexLock lock(mutex_);
  return deferred_intakes_.insert(request_file).second;
}

void UnbookedResults::IntakeDone(const std::string& request_file) {
  MutexLock lock(mutex_);
  deferred_intakes_.erase(request_file);
}

std::vector<std::string> UnbookedResults::DeferredIntakes() const {
  MutexLock lock(mutex_);
  return {deferred_intakes_.begin(), deferred_intakes_.end()};
}

std::mutex& UnbookedResults::MutexFor(const std::string& request_file) {
  return booking_locks_[std::hash<std::string>{}(request_file) % booking_locks_.size()];
}

HRESULT UnbookedResults::SaveLocked(const KeptRequest& request) const {
  // Without its lock, this host's store may be another host's to book.
  if (!requests_dir_.empty() && own_lock_.get() < 0) return HresultFromErrno(EWOULDBLOCK);
  xml::Document document;
  pugi::xml_node root = xml::AppendElement(document.dom(), "Unbooked");
  xml::SetAttribute(root, "ID", request.id);
  if (request.page) xml::SetAttribute(root, "Page", "true");
  if (request.finish) xml::SetAttribute(root, "Finish", "true");
  for (const KeptChange& change : request.changes) {
    pugi::xml_node node = xml::AppendElement(root, "Change");
    xml::SetAttribute(node, "Kind",
                      change.kind == tallier::ReportChange::kCallResult ? kCallKind : kStatusKind);
    xml::SetAttribute(node, "Recipient", change.recipient);
    xml::SetText(node, change.text);
  }
  return document.Save(PathOfLocked(request.request_file));
}

}  // namespace ringwell::dialqueue
