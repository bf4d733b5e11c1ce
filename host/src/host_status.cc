#include "host_status.h"

#include <pugixml.hpp>

namespace ringwell::host {
namespace {

// The Status of a result's first element, or "Failed" for a result without
// one (the scheduler books such a call as failed).
std::string ResultStatus(const std::string& result) {
  pugi::xml_document document;
  if (!document.load_string(result.c_str())) return "Failed";
  const std::string status = document.first_child().attribute("Status").value();
  return status.empty() ? "Failed" : status;
}

class CountingModem final : public ComObject<dialqueue::IModem, dialqueue::IModemHangUp> {
 public:
  CountingModem(ComPtr<dialqueue::IModem> modem, std::shared_ptr<HostStatus::Line> line,
                HostStatus& status)
      : modem_(std::move(modem)), line_(std::move(line)), status_(status) {}

  HRESULT Describe(std::string* a_pbstrDescription) override {
    return modem_->Describe(a_pbstrDescription);
  }
  HRESULT MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                   std::string* result) override {
    line_->busy = true;
    const std::string_view dir = wav_dir != nullptr ? wav_dir : "";
    status_.StartPlaying(dir);
    const HRESULT hr = modem_->MakeCall(number, request_xml, wav_dir, result);
    status_.StopPlaying(dir);
    line_->busy = false;
    status_.Count("calls", Succeeded(hr) && result != nullptr ? ResultStatus(*result) : "Failed");
    return hr;
  }
  // Passed on to the line when it can end a call early.
  HRESULT HangUp() override {
    ComPtr<dialqueue::IModemHangUp> hang_up;
    if (!modem_ ||
        Failed(modem_->QueryInterface(dialqueue::IModemHangUp::kIid, hang_up.PutVoid()))) {
      return E_NOTIMPL;
    }
    return hang_up->HangUp();
  }

 private:
  ComPtr<dialqueue::IModem> modem_;
  std::shared_ptr<HostStatus::Line> line_;
  HostStatus& status_;
};

class CountingPager final : public ComObject<dialqueue::IPager> {
 public:
  CountingPager(ComPtr<dialqueue::IPager> pager, std::shared_ptr<HostStatus::Line> line,
                HostStatus& status)
      : pager_(std::move(pager)), line_(std::move(line)), status_(status) {}

  HRESULT Describe(std::string* a_pbstrDescription) override {
    return pager_->Describe(a_pbstrDescription);
  }
  HRESULT SendPages(std::int32_t count, const char* const* numbers, const char* const* services,
                    const char* const* request_xmls, std::vector<std::string>* results) override {
    line_->busy = true;
    const HRESULT hr = pager_->SendPages(count, numbers, services, request_xmls, results);
    line_->busy = false;
    for (std::int32_t i = 0; i < count; ++i) {
      const bool have = Succeeded(hr) && results != nullptr && i < std::ssize(*results);
      status_.Count("pages",
                    have ? ResultStatus((*results)[static_cast<std::size_t>(i)]) : "Failed");
    }
    return hr;
  }

 private:
  ComPtr<dialqueue::IPager> pager_;
  std::shared_ptr<HostStatus::Line> line_;
  HostStatus& status_;
};

std::string_view WithoutTrailingSlash(std::string_view dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  return dir;
}

}  // namespace

void HostStatus::StartPlaying(std::string_view dir) {
  MutexLock lock(mutex_);
  playing_.emplace(WithoutTrailingSlash(dir));
}

void HostStatus::StopPlaying(std::string_view dir) {
  MutexLock lock(mutex_);
  if (const auto found = playing_.find(WithoutTrailingSlash(dir)); found != playing_.end()) {
    playing_.erase(found);
  }
}

bool HostStatus::Plays(std::string_view dir) {
  MutexLock lock(mutex_);
  return playing_.contains(WithoutTrailingSlash(dir));
}

ComPtr<dialqueue::IModem> HostStatus::CountedModem(ComPtr<dialqueue::IModem> modem, int line,
                                                   const std::string& kind) {
  auto entry = std::make_shared<Line>();
  entry->line = line;
  entry->kind = kind;
  {
    MutexLock lock(mutex_);
    lines_.push_back(entry);
  }
  return ComPtr<dialqueue::IModem>(MakeComObject<CountingModem>(std::move(modem), entry, *this));
}

ComPtr<dialqueue::IPager> HostStatus::CountedPager(ComPtr<dialqueue::IPager> pager, int line,
                                                   const std::string& kind) {
  auto entry = std::make_shared<Line>();
  entry->line = line;
  entry->kind = kind == "simulated" ? "sim-pager" : "pager";
  {
    MutexLock lock(mutex_);
    if (kind != "none") lines_.push_back(entry);
    pager_ = {{"kind", kind}};
    if (kind != "none") pager_["line"] = line;
  }
  return ComPtr<dialqueue::IPager>(MakeComObject<CountingPager>(std::move(pager), entry, *this));
}

void HostStatus::SetScheduler(ComPtr<dialqueue::IDialqueueStatus> scheduler) {
  MutexLock lock(mutex_);
  scheduler_ = std::move(scheduler);
}

void HostStatus::SetRegistration(Registration registration) {
  MutexLock lock(mutex_);
  registration_ = std::move(registration);
}

void HostStatus::Count(const char* family, const std::string& result) {
  MutexLock lock(mutex_);
  ++counters_[family][result];
}

nlohmann::json HostStatus::Details() {
  MutexLock lock(mutex_);
  nlohmann::json lines = nlohmann::json::array();
  for (const auto& line : lines_) {
    const bool simulated = line->kind == "sim" || line->kind == "sim-pager";
    nlohmann::json entry = {{"line", line->line},
                            {"kind", line->kind == "sim-pager" ? "pager" : line->kind},
                            {"busy", line->busy.load()}};
    if (simulated) entry["simulated"] = true;
    lines.push_back(std::move(entry));
  }
  nlohmann::json counters = {{"calls", nlohmann::json::object()},
                             {"pages", nlohmann::json::object()}};
  for (const auto& [family, results] : counters_) {
    for (const auto& [result, count] : results) counters[family][result] = count;
  }
  nlohmann::json details = {{"lines", lines}, {"pager", pager_}, {"counters", counters}};
  std::int32_t due_calls = 0;
  std::int32_t due_pages = 0;
  std::int32_t queued = 0;
  if (scheduler_ && Succeeded(scheduler_->GetQueueLengths(&due_calls, &due_pages, &queued))) {
    details["dueQueue"] = due_calls + due_pages;
    details["dueCalls"] = due_calls;
    details["duePages"] = due_pages;
    details["queued"] = queued;
  }
  if (registration_) {
    std::string registrar;
    std::string detail;
    const std::string state = registration_(&registrar, &detail);
    details["sip"] = {{"registration", state}, {"registrar", registrar}, {"detail", detail}};
  }
  return details;
}

}  // namespace ringwell::host
