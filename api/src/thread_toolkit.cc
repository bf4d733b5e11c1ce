#include "thread_toolkit.h"

#include <sys/stat.h>

#include "ringwell/common/storage.h"
#include "toolkit.h"

namespace ringwell::api {

kel::IKelService* ThreadService(const std::string& root) {
  thread_local ComPtr<kel::IKelService> service;
  if (!service) service = kel::client::OpenService(root);
  return service.Get();
}

bool ReportIsNoFile(const std::string& root, const std::string& id) {
  struct stat st {};
  return ::lstat(StorageLayout{root}.ReportFile(id).c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

std::optional<kel::client::ReportView> ReadReportOf(const std::string& root,
                                                    const std::string& id) {
  kel::IKelService* service = ThreadService(root);
  ComPtr<kel::IKelReport> report;
  try {
    if (kel::client::Check(service->GetReport(id.c_str(), report.Put()), "reading the report") ==
        S_FALSE) {
      return std::nullopt;
    }
  } catch (const kel::client::Failure&) {
    // The toolkit's refusal names the path, which is no client's business.
    if (ReportIsNoFile(root, id)) return std::nullopt;
    throw;
  }
  return kel::client::ReadReport(id, report.Get(), root, OleDateNow());
}

}  // namespace ringwell::api
