#include "report_document.h"

#include "ringwell/common/error_info.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml_content.h"
#include "xml_check.h"

namespace ringwell::tallier {
namespace {

// The document's first child as its root element.
pugi::xml_node RootElement(const xml::Document& document) {
  pugi::xml_node root = document.FirstChild();
  if (root.type() != pugi::node_element) throw ComError(E_INVALIDARG);
  return root;
}

std::string RequiredAttribute(pugi::xml_node element, const char* name) {
  pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) throw ComError(E_INVALIDARG);
  return attribute.value();
}

// Refuses content that would make the report unreadable, saying why.
[[noreturn]] void Refuse(std::string reason) {
  throw ComError(E_INVALIDARG,
                 ErrorInfo{.source = {}, .description = std::move(reason), .iid = {}});
}

// An attribute whose value the report can carry.
void SetCheckedAttribute(pugi::xml_node element, std::string_view name, std::string_view value) {
  if (!xml::IsXmlCharacters(value)) Refuse("The " + std::string(name) + " is not XML text.");
  xml::SetAttribute(element, name, value);
}

void AppendCopy(pugi::xml_node parent, pugi::xml_node node) {
  if (!parent.append_copy(node)) throw ComError(E_OUTOFMEMORY);
}

// Makes the parsed result ready to be copied: its first node must be the Call
// element, and every child of it an element.
pugi::xml_node PrepareCall(xml::Document& result) {
  pugi::xml_node call = result.FirstChild();
  if (call.type() != pugi::node_element || std::string_view(call.name()) != kCallElement) {
    throw ComError(E_INVALIDARG);
  }
  for (pugi::xml_node child : call.children()) {
    if (child.type() != pugi::node_element) throw ComError(E_INVALIDARG);
    child.remove_attribute("xmlns:dt");
  }
  call.remove_attribute("xmlns");
  if (std::optional<std::string> fault = CallResultFault(call)) {
    Refuse("Call result refused: it has " + *fault + ".");
  }
  return call;
}

}  // namespace

NewReport BuildReport(xml::Document& request) {
  const pugi::xml_node root = RootElement(request);
  const std::string user_id = RequiredAttribute(root, "UserID");
  NewReport report{.id = RequiredAttribute(root, "ID"), .document = {}};
  const std::string type = RequiredAttribute(root, "Type");

  pugi::xml_node element = xml::AppendElement(report.document.dom(), kReportElement);
  xml::SetAttribute(element, "xmlns", xml::kXmlDataNamespace);
  xml::SetAttribute(element, "xmlns:dt", xml::kDataTypesNamespace);
  SetCheckedAttribute(element, "UserID", user_id);
  SetCheckedAttribute(element, "ID", report.id);
  SetCheckedAttribute(element, "Type", type);
  xml::SetAttribute(element, kStatusAttribute, "");

  for (pugi::xml_node recipient : xml::ElementsByName(request.dom(), kRecipientElement)) {
    const std::string number = xml::Text(recipient);
    if (Trim(number).empty()) continue;
    pugi::xml_node sub_report = xml::AppendElement(element, kSubReportElement);
    SetCheckedAttribute(sub_report, kRecipientAttribute, number);
    xml::SetAttribute(sub_report, kStatusAttribute, "");
  }

  if (pugi::xml_node info = xml::ChildElement(root, kAdditionalInfoElement)) {
    info.remove_attribute("xmlns");
    if (std::optional<std::string> fault = ContentFault(info)) {
      Refuse("The AdditionalInfo has " + *fault + ".");
    }
    AppendCopy(element, info);
  }
  return report;
}

void SubReportIndex::Rebuild(const xml::Document& report) {
  all_ = xml::ElementsByName(report.dom(), kSubReportElement);
  by_recipient_.clear();
  for (pugi::xml_node sub_report : all_) {
    by_recipient_[sub_report.attribute(kRecipientAttribute).value()].push_back(sub_report);
  }
}

std::span<const pugi::xml_node> SubReportIndex::Of(std::string_view recipient) const {
  auto it = by_recipient_.find(recipient);
  if (it == by_recipient_.end()) return {};
  return it->second;
}

void SetStatus(xml::Document& report, const SubReportIndex& index, std::string_view recipient,
               std::string_view status) {
  const bool all = recipient == kAllRecipients;
  if (!xml::IsXmlCharacters(status) || !xml::IsXmlText(status))
    Refuse("The status is not XML text.");
  if (!recipient.empty()) {
    for (pugi::xml_node sub_report : all ? std::span(index.All()) : index.Of(recipient)) {
      xml::SetAttribute(sub_report, kStatusAttribute, status);
    }
  }
  if (all || recipient.empty()) xml::SetAttribute(RootElement(report), kStatusAttribute, status);
}

PreparedCallResult PrepareCallResult(std::string_view result_xml) {
  PreparedCallResult prepared;
  if (ThrowIfFailed(prepared.document.LoadXml(result_xml)) != S_OK) return prepared;
  prepared.parsed = true;
  try {
    const pugi::xml_node call = PrepareCall(prepared.document);
    prepared.holds_sub_reports = !xml::ElementsByName(call, kSubReportElement).empty();
  } catch (const ComError& e) {
    if (e.code() == E_OUTOFMEMORY) throw;
    prepared.refusal = e;
  }
  return prepared;
}

bool AppendPreparedCall(const SubReportIndex& index, std::string_view recipient,
                        const PreparedCallResult& call) {
  const std::span<const pugi::xml_node> sub_reports = index.Of(recipient);
  if (call.usable()) {
    for (pugi::xml_node sub_report : sub_reports)
      AppendCopy(sub_report, call.document.FirstChild());
  }
  return !sub_reports.empty();
}

}  // namespace ringwell::tallier
