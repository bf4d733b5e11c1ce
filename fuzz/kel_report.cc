// The toolkit's report reader fed arbitrary bytes as a report file: GetReport
// either gives a report whose every getter succeeds, down to each call of each
// sub-report, or fails with a description; whatever the bytes, the report
// file is left exactly as it was.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_support.h"
#include "kel_service.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/variant.h"

namespace {

using namespace ringwell;
using namespace ringwell::kel;

constexpr char kId[] = "{8E2B7C41-6A3D-4F90-B1C2-D3E4F5A6B7C8}";
std::string g_root;

void Check(bool ok, const char* what) { ringwell::fuzz::Check(ok, "kel_report", what); }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Member, class Collection>
void Walk(Collection* collection, void (*visit)(Member*)) {
  std::int32_t count = -1;
  Check(collection->get_Count(&count) == S_OK && count >= 0, "a collection has no count");
  for (std::int32_t i = 0; i < count; ++i) {
    ComPtr<Member> member;
    Check(collection->get_Item(Variant(i), member.Put()) == S_OK && member, "a member is missing");
    visit(member.Get());
  }
}

void VisitCall(IKelCall* call) {
  OleDate time = 0;
  std::int32_t duration = 0;
  std::string text;
  Check(call->get_Time(&time) == S_OK && call->get_Duration(&duration) == S_OK &&
            call->get_Answer(&text) == S_OK && call->get_Protocol(&text) == S_OK &&
            call->get_Status(&text) == S_OK && call->get_Error(&text) == S_OK,
        "a call getter failed");
}

void VisitSubReport(IKelSubReport* sub_report) {
  std::string text;
  ComPtr<IKelCalls> calls;
  Check(sub_report->get_Recipient(&text) == S_OK && sub_report->get_Status(&text) == S_OK &&
            sub_report->get_Calls(calls.Put()) == S_OK && calls,
        "a sub-report getter failed");
  Walk<IKelCall>(calls.Get(), VisitCall);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_root = ringwell::fuzz::MakeWorkDirectory(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = g_root + "Reports/" + kId + ".xml";
  const std::string input(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << input;
  }
  ComPtr<IKelService> service(MakeComObject<CKelService>(std::chrono::milliseconds(0)).Get());
  Check(service->put_Location(g_root.c_str()) == S_OK, "the location was refused");
  ComPtr<IKelReport> report;
  const HRESULT hr = service->GetReport(kId, report.Put());
  if (Succeeded(hr)) {
    Check(report != nullptr, "a report was promised and not given");
    std::string text;
    EKelRequestType type = kelCallRequest;
    ComPtr<IKelSubReports> sub_reports;
    Check(report->get_Status(&text) == S_OK && report->get_Type(&type) == S_OK &&
              report->get_AdditionalInfo(&text) == S_OK &&
              report->get_SubReports(sub_reports.Put()) == S_OK && sub_reports,
          "a report getter failed");
    Walk<IKelSubReport>(sub_reports.Get(), VisitSubReport);
  } else {
    Check(report == nullptr, "a failed GetReport left a report behind");
    auto info = GetErrorInfo();
    Check(info && !info->description.empty(), "a failed GetReport gave no description");
  }
  Check(ReadAll(path) == input, "reading the report changed it");
  return 0;
}
