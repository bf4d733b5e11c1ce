#include "thread_toolkit.h"

#include "toolkit.h"

namespace ringwell::api {

kel::IKelService* ThreadService(const std::string& root) {
  thread_local ComPtr<kel::IKelService> service;
  if (!service) service = kel::client::OpenService(root);
  return service.Get();
}

std::optional<kel::client::ReportView> ReadReportOf(const std::string& root,
                                                    const std::string& id) {
  kel::IKelService* service = ThreadService(root);
  ComPtr<kel::IKelReport> report;
  if (kel::client::Check(service->GetReport(id.c_str(), report.Put()), "reading the report") ==
      S_FALSE) {
    return std::nullopt;
  }
  return kel::client::ReadReport(id, report.Get(), root, OleDateNow());
}

}  // namespace ringwell::api
