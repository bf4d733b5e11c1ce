// Helpers shared by the report generator's tests: request and report files in
// the fixture's storage root, and what a report file holds.
#pragma once

#include <string>
#include <vector>

#include "ringwell/testing/fixture.h"

namespace ringwell::tallier::test {

inline constexpr char kRequestId[] = "{6F1C2B3A-0D4E-4F5A-9B8C-7D6E5F4A3B2C}";

// A request file as the toolkit writes it, with `root_attributes` on Request
// and the children given (Recipients, AdditionalInfo, ...).
std::string RequestXml(const std::string& root_attributes, const std::string& children);
// Default root attributes: ID, UserID and Type "Call".
std::string DefaultRequestAttributes();
// <Recipients> with one <Recipient> per text.
std::string RecipientsXml(const std::vector<std::string>& numbers);

// The Status of the report followed by the Status of each sub-report.
std::vector<std::string> Statuses(const std::string& report_path);
// The markup of every Call of the sub-report at `index`.
std::vector<std::string> Calls(const std::string& report_path, std::size_t index);

}  // namespace ringwell::tallier::test
