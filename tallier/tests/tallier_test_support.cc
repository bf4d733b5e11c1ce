#include "tallier_test_support.h"

#include "ringwell/common/xml.h"

namespace ringwell::tallier::test {

std::string DefaultRequestAttributes() {
  return std::string("ID=\"") + kRequestId + "\" UserID=\"{0}\" Type=\"Call\"";
}

std::string RequestXml(const std::string& root_attributes, const std::string& children) {
  return "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
         "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" " +
         root_attributes + "><StartTime dt:dt=\"dateTime\">1980-01-01T00:00:00</StartTime>" +
         children + "<NumberOfRings dt:dt=\"int\">7</NumberOfRings><CallTree><Message " +
         "Replays=\"0\" Timeout=\"2\"/><Responses/></CallTree></Request>";
}

std::string RecipientsXml(const std::vector<std::string>& numbers) {
  std::string xml = "<Recipients>";
  for (const std::string& number : numbers) {
    xml += "<Recipient dt:dt=\"string\" Type=\"PhoneNumber\">" + number + "</Recipient>";
  }
  return xml + "</Recipients>";
}

std::vector<std::string> Statuses(const std::string& report_path) {
  xml::Document report;
  EXPECT_EQ(report.Load(report_path), S_OK);
  std::vector<std::string> statuses{report.FirstChild().attribute("Status").value()};
  for (pugi::xml_node sub_report : xml::ElementsByName(report.dom(), "SubReport")) {
    statuses.emplace_back(sub_report.attribute("Status").value());
  }
  return statuses;
}

std::vector<std::string> Calls(const std::string& report_path, std::size_t index) {
  xml::Document report;
  EXPECT_EQ(report.Load(report_path), S_OK);
  const auto sub_reports = xml::ElementsByName(report.dom(), "SubReport");
  std::vector<std::string> calls;
  if (index >= sub_reports.size()) return calls;
  for (pugi::xml_node call : sub_reports[index].children("Call")) {
    calls.push_back(xml::Markup(call));
  }
  return calls;
}

}  // namespace ringwell::tallier::test
