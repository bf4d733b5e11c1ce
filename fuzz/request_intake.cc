// The scheduler's intake fed arbitrary bytes as a scheduled request file, with
// the real report generator behind it: QueueRequestFile either queues the
// request or refuses the file with a status; it never throws anything but the
// component's own error, and never makes a file outside the storage root.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ctallier.h"
#include "fuzz_support.h"
#include "intake.h"
#include "ringwell/common/error_info.h"
#include "scheduler_state.h"

namespace {

using namespace ringwell;
using namespace ringwell::dialqueue;

constexpr char kId[] = "{5D2A8E11-0B7C-4F3A-9E61-2C4D8B9A7F10}";
std::string g_base;
std::string g_root;

void Check(bool ok, const char* what) { ringwell::fuzz::Check(ok, "request_intake", what); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The storage root sits in a directory of its own, so that anything made
  // beside it shows.
  g_base = ringwell::fuzz::MakeWorkDirectory(false);
  g_root = g_base + "root/";
  for (const char* dir : {"Inbox", "Requests", "Reports", "Files/{0}"}) {
    std::filesystem::create_directories(g_root + dir);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = g_root + "Requests/" + kId + ".xml";
  std::filesystem::create_directories(g_root + "Requests/" + kId);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  SchedulerState state;
  ComPtr<tallier::ITallier> tallier(
      MakeComObject<tallier::CTallier>(std::chrono::milliseconds(0)).Get());
  state.SetTallier(tallier);
  // The report the daemon would have made from the same file, when it can.
  tallier->CreateNewReport(path.c_str());
  try {
    const HRESULT hr = QueueRequestFile(path, state);
    Check(hr == S_OK || hr == S_FALSE, "an unexpected status");
  } catch (const ComError&) {
    // A request that cannot be read: refused with a status.
  }
  state.dial_queue().Clear();
  state.page_queue().Clear();
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(g_base)) ++entries;
  Check(entries == 1, "something was made beside the storage root");
  std::filesystem::remove_all(g_root + "Requests/" + std::string(kId));
  std::filesystem::remove(path);
  std::filesystem::remove(g_root + "Reports/" + std::string(kId) + ".xml");
  return 0;
}
