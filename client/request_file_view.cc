#include "request_file_view.h"

#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::kel::client {
namespace {

int IntChild(pugi::xml_node request, const char* name, int fallback) {
  return ParseInt32(xml::Text(xml::ChildElement(request, name))).value_or(fallback);
}

}  // namespace

std::optional<RequestFileView> ReadRequestFile(const std::string& root, const std::string& id) {
  if (!IsPlainName(id)) return std::nullopt;
  xml::Document document;
  bool loaded = false;
  const StorageLayout layout{root};
  for (const std::string& path : {layout.RequestFile(id), layout.InboxFile(id)}) {
    if (IsRegularFile(path) && document.Load(path) == S_OK) {
      loaded = true;
      break;
    }
  }
  if (!loaded) return std::nullopt;
  const pugi::xml_node request = document.FirstChild();
  const auto start = OleDateFromIso(xml::Text(xml::ChildElement(request, "StartTime")));
  const auto stop = OleDateFromIso(xml::Text(xml::ChildElement(request, "StopTime")));
  if (!start || !stop) return std::nullopt;
  RequestFileView view;
  view.start = *start;
  view.stop = *stop;
  view.busy = {IntChild(request, "NumberOfAttemptsIfBusy", 3),
               IntChild(request, "DelayIfBusy", 10)};
  view.no_answer = {IntChild(request, "NumberOfAttemptsIfNoAnswer", 3),
                    IntChild(request, "DelayIfNoAnswer", 30)};
  view.error = {IntChild(request, "NumberOfAttemptsIfError", 0),
                IntChild(request, "DelayIfError", 1)};
  for (pugi::xml_node part : xml::ElementsByName(request, "MessagePart")) {
    const pugi::xml_attribute said = part.attribute(kSpokenTextAttribute);
    if (said && std::string_view(part.attribute("Type").value()) == "File") {
      view.spoken[xml::Text(part)] = said.value();
    }
  }
  return view;
}

std::optional<RequestRecordView> ReadRequestRecord(const std::string& root, const std::string& id) {
  if (!IsPlainName(id)) return std::nullopt;
  const std::string path = StorageLayout{root}.ReportFile(id);
  xml::Document document;
  if (!IsRegularFile(path) || document.Load(path) != S_OK) return std::nullopt;
  const pugi::xml_node record = xml::ChildElement(document.FirstChild(), "RequestRecord");
  if (!record) return std::nullopt;
  RequestRecordView view;
  view.start = OleDateFromIso(record.attribute("StartTime").value());
  view.stop = OleDateFromIso(record.attribute("StopTime").value());
  for (pugi::xml_node part : record.children("Part")) {
    view.parts.push_back({.keys = part.attribute("Keys").value(),
                          .spoken = std::string_view(part.attribute("Type").value()) == "Text",
                          .content = xml::Text(part),
                          .file = part.attribute("File").value()});
  }
  return view;
}

}  // namespace ringwell::kel::client
