// The report generator's events as operators' log filters see them: for each
// failure the processing rules name, "Error in %1: %2" with the operation and
// the rule's own text, exactly, and the file it concerns only beside the
// text. Read from the JSON event lines.
#include <gtest/gtest.h>

#include <functional>

#include "ctallier.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::tallier {
namespace {

using namespace std::chrono_literals;
using testing::WriteFile;

class EventTextsTest : public testing::RingwellTest {};

TEST_F(EventTextsTest, EachFailureIsLoggedWithTheTextsOfTheMessageTable) {
  const auto tallier = MakeComObject<CTallier>(1ms);
  const std::string request = root() + "Inbox/r.xml";
  const std::string report = root() + "Reports/r.xml";
  const std::string missing = root() + "Reports/missing.xml";
  WriteFile(request, "<Request ID=\"r\" Type=\"Call\"><Recipients/></Request>");  // no UserID
  WriteFile(report, "<Report Status=\"\"><SubReport Recipient=\"1\" Status=\"\"/></Report>");
  const struct {
    std::function<HRESULT()> call;
    std::string operation, text, path;
  } rows[] = {
      {[&] { return tallier->CreateNewReport(missing.c_str()); }, "CTallier::CreateNewReport",
       "Can't load request file", missing},
      {[&] { return tallier->UpdateStatus(missing.c_str(), "*", "Busy"); },
       "CTallier::UpdateStatus", "Can't load report file", missing},
      {[&] { return tallier->AddCallResult(missing.c_str(), "1", "<Call/>"); },
       "CTallier::AddCallResult", "Can't load report file", missing},
      {[&] { return tallier->AddCallResult(report.c_str(), "1", "<Call>"); },
       "CTallier::AddCallResult", "Can't load call result", report},
      // Caught failures: the status code's error text.
      {[&] { return tallier->UpdateStatus(report.c_str(), "1", nullptr); },
       "CTallier::UpdateStatus", "The parameter is incorrect.", report},
      {[&] { return tallier->CreateNewReport(request.c_str()); }, "CTallier::CreateNewReport",
       "The parameter is incorrect.", request},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.operation + ": " + row.text);
    ClearEventLog();
    EXPECT_EQ(row.call(), E_INVALIDARG);
    const std::string text = "Error in " + row.operation + ": " + row.text + "\r\n";
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, "Tallier");
    EXPECT_EQ(entries[0].type, "error");
    EXPECT_EQ(entries[0].event_id, 0xC0000001u);
    EXPECT_EQ(entries[0].strings, (std::vector<std::string>{row.operation, row.text}));
    EXPECT_EQ(entries[0].text, text);
    EXPECT_EQ(entries[0].path, row.path);
    const auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, text);
    EXPECT_EQ(info->source, "Tallier.Tallier.1");
  }
}

}  // namespace
}  // namespace ringwell::tallier
