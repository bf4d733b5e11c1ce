#include "unbooked_results.h"

#include <functional>

#include "ringwell/common/error_info.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {
namespace {

constexpr char kStatusKind[] = "Status";
constexpr char kCallKind[] = "Call";

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
  std::optional<KeptRequest> stored = ReadStore(request_file, StorePathOf(request_file));
  if (!stored) return false;
  if (stored->changes.empty() && !stored->finish) {
    RemoveFile(StorePathOf(request_file));
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
  RemoveFile(StorePathOf(request_file));
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
  return document.Save(StorePathOf(request.request_file));
}

}  // namespace ringwell::dialqueue
