#include "commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "file_store.h"
#include "inbox_withdrawal.h"
#include "report_view.h"
#include "request_checks.h"
#include "request_id.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "toolkit.h"
#include "user_time.h"

namespace ringwell::kel::cli {

using namespace client;
namespace {

// The report, or nothing when it does not exist (yet).
std::optional<ReportView> TryReadReport(IKelService* service, const std::string& id) {
  ComPtr<IKelReport> report;
  if (Check(service->GetReport(id.c_str(), report.Put()), "reading the report") == S_FALSE) {
    return std::nullopt;
  }
  std::string root;
  Check(service->get_Location(&root));
  return ReadReport(id, report.Get(), NormaliseRoot(root), OleDateNow());
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
  std::printf("%-32s %10d  %s\n", name.c_str(), size, UserTime(date).c_str());
}

}  // namespace

int Report(IKelService* service, const ReportOptions& options) {
  const std::string id = NormaliseRequestId(options.id);
  if (!options.wait) {
    auto report = TryReadReport(service, id);
    if (!report) {
      std::string root;
      Check(service->get_Location(&root));
      if (IsPlainName(id) && IsRegularFile(StorageLayout{NormaliseRoot(root)}.InboxFile(id))) {
        std::fprintf(stderr, "kel: %s is waiting in Inbox: the daemon has not taken it up yet\n",
                     id.c_str());
        return kExitFailure;
      }
      const std::string path = StorageLayout{NormaliseRoot(root)}.ReportFile(id);
      if (IsPlainName(id) && ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0 &&
          errno != ENOENT) {
        // There may well be one: this user may not look.
        throw Failure(E_ACCESSDENIED, "the report of " + id + " cannot be read by this user (" +
                                          path + ": " + std::strerror(errno) + ")");
      }
      std::fprintf(stderr, "kel: there is no report for %s\n", id.c_str());
      return kExitFailure;
    }
    if (options.json) {
      std::printf("%s\n", ToJson(*report).dump(2).c_str());
    } else {
      std::printf("%s", RenderTable(*report).c_str());
    }
    return kExitOk;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_s);
  ReportView last;
  bool seen = false;
  for (;;) {
    if (auto report = TryReadReport(service, id)) {
      for (const auto& line : Changes(last, *report)) {
        std::printf("%s  %s\n", Clock().c_str(), line.c_str());
      }
      std::fflush(stdout);
      KeepRequestFacts(last, *report);
      last = std::move(*report);
      seen = true;
      if (IsFinished(last.status)) break;
    }
    if (options.timeout_s > 0 && std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "kel: %s is not finished after %d s\n", id.c_str(), options.timeout_s);
      return kExitTimeout;
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
  // The last line says how it went, whatever the status word says.
  const std::string outcome = id + " " + last.status + ": " + DeliveryOf(last).outcome;
  std::fflush(stdout);  // the report before the line that ends it, also through a pipe
  if (!ReachedEveryone(last)) {
    std::fprintf(stderr, "kel: %s\n", outcome.c_str());
    return kExitNotFully;
  }
  std::printf("%s\n", outcome.c_str());
  return kExitOk;
}

int Cancel(IKelService* service, const std::string& given_id) {
  const std::string id = NormaliseRequestId(given_id);
  std::string location;
  Check(service->get_Location(&location));
  const std::string root = NormaliseRoot(location);
  switch (WithdrawFromInbox(root, id)) {
    case Withdrawal::kWithdrawn:
      std::printf("withdrawn %s from Inbox before it was scheduled; nobody was called\n",
                  id.c_str());
      return kExitOk;
    case Withdrawal::kWithdrawnWhilePrepared:
      std::printf(
          "withdrawn %s from Inbox while the daemon was preparing it; nobody was called (its "
          "report will say Canceled)\n",
          id.c_str());
      return kExitOk;
    case Withdrawal::kNotInInbox:
      break;
  }
  const HRESULT canceled = Check(service->CancelRequest(id.c_str()), "canceling");
  const auto report = TryReadReport(service, id);
  if (canceled == S_OK) {
    int called = 0;
    int calling = 0;
    const int total = report ? static_cast<int>(report->recipients.size()) : 0;
    if (report) {
      for (const RecipientView& r : report->recipients) {
        if (!r.calls.empty() || r.status == "InProgress") ++called;
        if (r.status == "InProgress") ++calling;
      }
    }
    std::printf("canceled %s; %d of %d recipient%s had already been called", id.c_str(), called,
                total, total == 1 ? "" : "s");
    if (calling > 0) {
      std::printf(" (%d call%s in progress go%s on to its end)", calling, calling == 1 ? "" : "s",
                  calling == 1 ? "es" : "");
    }
    std::printf("\n");
    return kExitOk;
  }
  if (!report) {
    std::fprintf(stderr, "kel: there is no request %s; nothing was canceled\n", id.c_str());
  } else if (IsFinished(report->status)) {
    std::fprintf(stderr, "kel: %s is already %s, nothing to cancel (%s)\n", id.c_str(),
                 report->status.c_str(), DeliveryOf(*report).outcome.c_str());
  } else {
    std::fprintf(stderr,
                 "kel: %s is %s: the daemon is moving it from Inbox to Requests; try again in a "
                 "moment\n",
                 id.c_str(), report->status.empty() ? "being taken up" : report->status.c_str());
  }
  return kExitFailure;
}

int FilesAdd(IKelService* service, const std::string& path, bool overwrite) {
  const std::string name = path.substr(path.rfind('/') + 1);
  switch (StoreFile(service, path, overwrite)) {
    case StoreOutcome::kStored:
      break;
    case StoreOutcome::kExists:
      std::fprintf(stderr, "kel: a file named %s is stored already (--overwrite replaces it)\n",
                   name.c_str());
      return kExitFailure;
    case StoreOutcome::kNotWritable: {
      std::string location;
      Check(service->get_Location(&location));
      const std::string store = StorageLayout{NormaliseRoot(location)}.UserFilesDir(kToolkitUserId);
      std::fprintf(stderr, "kel: %s could not be stored in %s%s\n", path.c_str(), store.c_str(),
                   ::access(store.c_str(), W_OK) != 0 ? " (not writable)" : "");
      return kExitFailure;
    }
  }
  std::printf("stored %s\n", path.substr(path.rfind('/') + 1).c_str());
  return kExitOk;
}

int FilesRemove(IKelService* service, const std::string& name) {
  ComPtr<IKelFileInfo> info;
  if (Check(service->GetFileInfo(name.c_str(), info.Put())) == S_FALSE) {
    std::fprintf(stderr, "kel: no file %s is stored\n", name.c_str());
    return kExitFailure;
  }
  Check(service->DeleteFile(name.c_str()), "removing " + name);
  std::printf("removed %s\n", name.c_str());
  return kExitOk;
}

int FilesInfo(IKelService* service, const std::string& name) {
  ComPtr<IKelFileInfo> info;
  if (Check(service->GetFileInfo(name.c_str(), info.Put())) == S_FALSE) {
    std::fprintf(stderr, "kel: no file %s is stored\n", name.c_str());
    return kExitFailure;
  }
  PrintFile(info.Get());
  return kExitOk;
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
  return kExitOk;
}

}  // namespace ringwell::kel::cli
