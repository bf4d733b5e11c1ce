#include "commands.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "report_view.h"
#include "request_description.h"
#include "toolkit.h"

namespace ringwell::kel::cli {
namespace {

nlohmann::json ReadDescription(const std::string& file) {
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(file);
    if (!in) throw Failure(E_INVALIDARG, "cannot read " + file);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw Failure(E_INVALIDARG, file + ": " + e.what());
  }
}

// The report, or nothing when it does not exist (yet).
std::optional<ReportView> TryReadReport(IKelService* service, const std::string& id) {
  ComPtr<IKelReport> report;
  if (Check(service->GetReport(id.c_str(), report.Put()), "reading the report") == S_FALSE) {
    return std::nullopt;
  }
  return ReadReport(id, report.Get());
}

std::string Clock() {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
  return buffer;
}

void PrintFile(IKelFileInfo* info) {
  std::string name;
  std::int32_t size = 0;
  OleDate date = 0;
  Check(info->get_Name(&name));
  Check(info->get_Size(&size));
  Check(info->get_Date(&date));
  std::printf("%-32s %10d  %s\n", name.c_str(), size, OleDateToIso(date).c_str());
}

}  // namespace

nlohmann::json DescriptionFromFlags(const SubmitOptions& options) {
  nlohmann::json description = {{"type", options.page ? "page" : "call"},
                                {"window", {{"start", options.from}, {"stop", options.until}}}};
  nlohmann::json recipients = nlohmann::json::array();
  for (const auto& number : options.to) {
    nlohmann::json recipient = {{"number", number}};
    if (!options.service.empty()) recipient["service"] = options.service;
    recipients.push_back(recipient);
  }
  description["recipients"] = recipients;
  nlohmann::json parts = nlohmann::json::array();
  for (const auto& text : options.say) {
    nlohmann::json part = {{"say", text}};
    if (!options.voice.empty()) part["voice"] = options.voice;
    parts.push_back(part);
  }
  for (const auto& file : options.play) parts.push_back({{"play", file}});
  description["message"] = {{"parts", parts}};
  return description;
}

int Submit(IKelService* service, const SubmitOptions& options) {
  nlohmann::json description =
      options.file.empty() ? DescriptionFromFlags(options) : ReadDescription(options.file);
  ComPtr<IKelRequest> request = BuildRequest(description, service, OleDateNow());
  std::string id;
  Check(service->SubmitRequest(request.Get(), &id), "submitting");
  std::printf("%s\n", id.c_str());
  return 0;
}

int Report(IKelService* service, const ReportOptions& options) {
  if (!options.wait) {
    auto report = TryReadReport(service, options.id);
    if (!report) {
      std::fprintf(stderr, "kel: there is no report for %s\n", options.id.c_str());
      return 1;
    }
    if (options.json) {
      std::printf("%s\n", ToJson(*report).dump(2).c_str());
    } else {
      std::printf("%s", RenderTable(*report).c_str());
    }
    return 0;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_s);
  ReportView last;
  bool seen = false;
  for (;;) {
    if (auto report = TryReadReport(service, options.id)) {
      for (const auto& line : Changes(last, *report)) {
        std::printf("%s  %s\n", Clock().c_str(), line.c_str());
      }
      std::fflush(stdout);
      last = std::move(*report);
      seen = true;
      if (IsFinished(last.status)) break;
    }
    if (options.timeout_s > 0 && std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "kel: %s is not finished after %d s\n", options.id.c_str(),
                   options.timeout_s);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
  }
  if (seen) {
    if (options.json) {
      std::printf("%s\n", ToJson(last).dump(2).c_str());
    } else {
      std::printf("\n%s", RenderTable(last).c_str());
    }
  }
  return 0;
}

int Cancel(IKelService* service, const std::string& id) {
  if (Check(service->CancelRequest(id.c_str()), "canceling") == S_FALSE) {
    std::fprintf(stderr, "kel: %s is not scheduled; nothing was canceled\n", id.c_str());
    return 1;
  }
  std::printf("canceled %s\n", id.c_str());
  return 0;
}

int FilesAdd(IKelService* service, const std::string& path, bool overwrite) {
  if (Check(service->SubmitFile(path.c_str(), overwrite ? 1 : 0), "storing " + path) == S_FALSE) {
    std::fprintf(stderr, "kel: a file of that name is stored already (use --overwrite)\n");
    return 1;
  }
  std::printf("stored %s\n", path.substr(path.rfind('/') + 1).c_str());
  return 0;
}

int FilesRemove(IKelService* service, const std::string& name) {
  Check(service->DeleteFile(name.c_str()));
  std::printf("removed %s\n", name.c_str());
  return 0;
}

int FilesInfo(IKelService* service, const std::string& name) {
  ComPtr<IKelFileInfo> info;
  if (Check(service->GetFileInfo(name.c_str(), info.Put())) == S_FALSE) {
    std::fprintf(stderr, "kel: no file %s is stored\n", name.c_str());
    return 1;
  }
  PrintFile(info.Get());
  return 0;
}

int FilesList(IKelService* service) {
  ComPtr<IKelFiles> files;
  Check(service->get_Files(files.Put()));
  std::int32_t count = 0;
  Check(files->get_Count(&count));
  for (std::int32_t i = 0; i < count; ++i) {
    ComPtr<IKelFileInfo> info;
    Check(files->get_Item(i, info.Put()));
    PrintFile(info.Get());
  }
  return 0;
}

}  // namespace ringwell::kel::cli
