#include "sim_pager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "ringwell/common/error_info.h"
#include "ringwell/common/xml.h"
#include "sim_line.h"

namespace ringwell::host {
namespace {

// The page's text: the parts of the call tree's first message.
std::string PageText(pugi::xml_node request) {
  std::string text;
  const pugi::xml_node message =
      xml::ChildElement(xml::ChildElement(request, "CallTree"), "Message");
  for (pugi::xml_node part : message.children("MessagePart")) {
    if (!text.empty()) text += ' ';
    const std::string content = xml::Text(part);
    text +=
        std::string_view(part.attribute("Type").value()) == "File" ? "[" + content + "]" : content;
  }
  return text;
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

SimPager::SimPager(std::shared_ptr<Scenario> scenario, std::string log_path)
    : scenario_(std::move(scenario)), log_path_(std::move(log_path)) {}

HRESULT SimPager::Describe(std::string* a_pbstrDescription) {
  if (a_pbstrDescription == nullptr) return E_POINTER;
  *a_pbstrDescription = "Simulated pager, log " + log_path_;
  return S_OK;
}

HRESULT SimPager::SendPages(std::int32_t count, const char* const* numbers,
                            const char* const* services, const char* const* request_xmls,
                            std::vector<std::string>* results) {
  if (results == nullptr || count < 0 ||
      (count > 0 && (numbers == nullptr || services == nullptr || request_xmls == nullptr))) {
    return E_POINTER;
  }
  try {
    results->clear();
    for (std::int32_t i = 0; i < count; ++i) {
      const std::string number = numbers[i] != nullptr ? numbers[i] : "";
      const std::string service = services[i] != nullptr ? services[i] : "";
      const Behaviour behaviour = scenario_->NextAttempt(number);
      xml::Document request;
      request.LoadXml(request_xmls[i] != nullptr ? request_xmls[i] : "");
      const pugi::xml_node root = request.FirstChild();
      const std::string text = PageText(root);

      CallRecord record;
      record.time = OleDateNow();
      const bool failed = behaviour.outcome == Outcome::kFailure;
      record.status = record.answer = failed ? "Failed" : "Sent";
      if (failed) record.error = behaviour.error;
      record.protocol.push_back("Page to " + number +
                                (service.empty() ? "" : " (service " + service + ")") + ": " +
                                text);
      if (failed) record.protocol.push_back("Failed: " + behaviour.error);
      AppendToLog(OneLine(OleDateToIso(record.time)) + '\t' + OneLine(number) + '\t' +
                  OneLine(service) + '\t' + OneLine(root.attribute("ID").value()) + '\t' +
                  record.status + '\t' + OneLine(text) + '\n');
      results->push_back(CallResultXml(record));
    }
    return S_OK;
  } catch (const ComError& e) {
    return e.code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void SimPager::AppendToLog(const std::string& line) {
  std::lock_guard lock(log_mutex_);
  const int fd = ::open(log_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::perror(("ringwell-host: pager log " + log_path_).c_str());
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace ringwell::host
