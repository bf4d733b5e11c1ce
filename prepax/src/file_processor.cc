#include "file_processor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "prepax_log.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/files.h"
#include "ringwell/common/text.h"

namespace ringwell::prepax {
namespace {

constexpr char kOperation[] = "CFileProcessor::ProcessFiles";

void LogOne(std::uint32_t id, std::string_view text) {
  PrepaxLog().ReportOneString(EventTypeOf(id), id, text);
}

void LogTwo(std::uint32_t id, std::string_view first, std::string_view second) {
  PrepaxLog().ReportTwoStrings(EventTypeOf(id), id, first, second);
}

// A root attribute the request cannot do without.
std::string RequiredAttribute(pugi::xml_node element, const char* name) {
  pugi::xml_attribute attribute = element.attribute(name);
  if (element.type() != pugi::node_element || !attribute) throw ComError(E_FAIL);
  return attribute.value();
}

bool EndsWithXml(std::string_view name) {
  constexpr std::string_view kSuffix = ".xml";
  return name.size() > kSuffix.size() &&
         EqualsIgnoringCase(name.substr(name.size() - kSuffix.size()), kSuffix);
}

}  // namespace

CFileProcessor::CFileProcessor() {
  layout_.root = ReadServiceRoot(PrepaxLog(), prepax_msg::kRegistryError);
  if (Failed(CreateInstance(kSpeechClsid, &speech_))) {
    LogOne(prepax_msg::kErrorIn, "Failed to create Speech component.");
  } else {
    speech_->Initialize();
  }
  if (Failed(CreateInstance(tallier::kTallierClsid, &tallier_))) {
    LogOne(prepax_msg::kErrorIn, "Failed to create Tallier component.");
  }
  if (Failed(CreateInstance(wavshift::kWavshiftClsid, &converter_))) {
    LogOne(prepax_msg::kErrorIn, "Failed to create Wavshift component.");
  }
}

CFileProcessor::~CFileProcessor() = default;

void CFileProcessor::ScanInbox() {
  pending_.clear();
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(layout_.InboxDir(), ec)) {
    std::string name = entry.path().filename().string();
    if (name.front() != '.' && EndsWithXml(name) && entry.is_regular_file(ec)) {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  for (auto& name : names) {
    if (!in_progress_.contains(name)) pending_.push_back(std::move(name));
  }
}

void CFileProcessor::ProcessFiles(std::stop_token stop) {
  for (const std::string& name : pending_) {
    if (stop.stop_requested()) break;
    ProcessOne(name);
  }
  pending_.clear();
}

void CFileProcessor::ProcessOne(const std::string& name) {
  Request request;
  HRESULT failure = S_OK;
  try {
    Preprocess(name, request);
  } catch (const ComError& e) {
    failure = e.code();
  } catch (const std::bad_alloc&) {
    failure = E_OUTOFMEMORY;
  } catch (...) {
    failure = E_FAIL;
  }
  if (Succeeded(failure)) return;
  // Speech cut short by the daemon's stop: the request stays as it is and is
  // processed again on the next start.
  if (failure == E_ABORT) return;
  ClearRequest(request.id);
  if (!request.report_path.empty() && tallier_) {
    tallier_->UpdateStatus(request.report_path.c_str(), "*", request.status.c_str());
  }
  LogTwo(prepax_msg::kErrorIn, kOperation, ErrorText(failure));
}

void CFileProcessor::Preprocess(const std::string& name, Request& request) {
  const std::string inbox_file = layout_.InboxDir() + name;
  xml::Document document;
  HRESULT hr = document.Load(inbox_file);
  if (hr == S_FALSE) return;  // not (yet) a whole document: the next cycle tries again
  ThrowIfFailed(hr);
  in_progress_.insert(name);

  const pugi::xml_node root = document.FirstChild();
  std::string id = RequiredAttribute(root, "ID");
  // An ID that is not a plain name never becomes part of a path.
  if (!IsPlainName(id)) throw ComError(E_INVALIDARG);
  request.id = std::move(id);
  request.type = RequiredAttribute(root, "Type");
  request.report_path = layout_.ReportFile(request.id);

  GenerateReport(inbox_file, document, "Processing");
  MakeRequestDirectory(request.id);
  request.request_dir = layout_.RequestDir(request.id);

  const std::string user_id = RequiredAttribute(root, "UserID");
  if (!IsPlainName(user_id)) throw ComError(E_INVALIDARG);
  request.user_files = layout_.UserFilesDir(user_id);

  ProcessParts(document, request);

  const std::string scheduled_file = layout_.RequestsDir() + name;
  hr = document.Save(scheduled_file);
  if (Failed(hr)) {
    LogOne(prepax_msg::kSaveFileFailed, scheduled_file);
    throw ComError(hr);
  }
  if (::unlink(inbox_file.c_str()) != 0) {
    LogOne(prepax_msg::kDeleteFileFailed, inbox_file);
    throw ComError(E_FAIL);
  }
  ::unlink((request.request_dir + "/" + kPreprocessingMarker).c_str());
  in_progress_.erase(name);

  if (!tallier_) throw ComError(E_POINTER);
  ThrowIfFailed(tallier_->UpdateStatus(request.report_path.c_str(), "*", "Scheduled"));
}

void CFileProcessor::MakeRequestDirectory(const std::string& id) {
  const std::string dir = layout_.RequestDir(id);
  const std::string marker = dir + "/" + kPreprocessingMarker;
  if (::mkdir(dir.c_str(), 0777) == 0) {
    HRESULT hr = WriteFileAtomically(marker, "");
    if (Failed(hr)) throw ComError(hr);
    return;
  }
  if (errno == EEXIST && FileExists(marker)) {
    // Left by a run that stopped in the middle of this request: start again
    // with the directory as it was made (also dropping half-written files).
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      if (entry.path().filename() != kPreprocessingMarker)
        std::filesystem::remove(entry.path(), ec);
    }
    return;
  }
  LogOne(prepax_msg::kCreateDirectoryFailed, dir);
  throw ComError(E_FAIL);
}

void CFileProcessor::GenerateReport(const std::string& request_file, const xml::Document& document,
                                    const std::string& status) {
  try {
    if (!tallier_) throw ComError(E_POINTER);
    ThrowIfFailed(tallier_->CreateNewReport(request_file.c_str()));
    const std::string id = RequiredAttribute(document.FirstChild(), "ID");
    const std::string report = layout_.ReportFile(id);
    ThrowIfFailed(tallier_->UpdateStatus(report.c_str(), "", status.c_str()));
    for (pugi::xml_node number : xml::ElementsByName(document.dom(), "PhoneNumber")) {
      ThrowIfFailed(
          tallier_->UpdateStatus(report.c_str(), xml::Text(number).c_str(), status.c_str()));
    }
  } catch (const ComError& e) {
    LogTwo(prepax_msg::kErrorIn, "CFileProcessor::GenerateReport", e.Text());
  } catch (const std::bad_alloc&) {
    LogTwo(prepax_msg::kErrorIn, "CFileProcessor::GenerateReport", ErrorText(E_OUTOFMEMORY));
  }
}

}  // namespace ringwell::prepax
