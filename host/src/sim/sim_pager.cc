#include "sim/sim_pager.h"

#include "device_boundary.h"
#include "ringwell/common/xml.h"

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

}  // namespace

SimPager::SimPager(std::shared_ptr<Scenario> scenario, std::string log_path)
    : scenario_(std::move(scenario)), log_(std::move(log_path)) {}

HRESULT SimPager::Describe(std::string* a_pbstrDescription) {
  return host::Describe(a_pbstrDescription, "Simulated pager, log " + log_.path());
}

HRESULT SimPager::SendPages(std::int32_t count, const char* const* numbers,
                            const char* const* services, const char* const* request_xmls,
                            std::vector<std::string>* results) {
  return SendEachPage(count, numbers, services, request_xmls, results, [&](std::int32_t i) {
    const std::string number = PageField(numbers, i);
    const std::string service = PageField(services, i);
    const Behaviour behaviour = scenario_->NextAttempt(number);
    xml::Document request;
    request.LoadXml(PageField(request_xmls, i));
    const pugi::xml_node root = request.FirstChild();
    const std::string text = PageText(root);

    CallRecord record;
    record.time = OleDateNow();
    const bool failed = behaviour.outcome == Outcome::kFailure;
    record.status = record.answer = failed ? "Failed" : "Sent";
    if (failed) record.error = behaviour.error;
    record.protocol.push_back("Simulated page to " + number +
                              (service.empty() ? "" : " (service " + service + ")") + ": " + text);
    if (failed) record.protocol.push_back("Failed: " + behaviour.error);
    log_.Append(record.time, number, service, root.attribute("ID").value(), record.status, text);
    return record;
  });
}

}  // namespace ringwell::host
