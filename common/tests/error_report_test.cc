#include "ringwell/common/error_report.h"

#include <gtest/gtest.h>

#include "ringwell/common/registry.h"
#include "ringwell/testing/fixture.h"

namespace ringwell {
namespace {

using testing::RingwellTest;

class ErrorReportTest : public RingwellTest {
 protected:
  CEventLog kel_log_{"Kel", "/usr/lib/libkel.so", kel_msg::kTable};
  ErrorReporter kel_{kel_log_, "Kel.KelService.1"};
};

TEST_F(ErrorReportTest, MessageTablesFormatWithTheirLineBreak) {
  const std::string_view two[] = {"NumberOfRings", "0"};
  EXPECT_EQ(kel_log_.FormatMessage(kel_msg::kInvalidPropertyValue, two),
            "Invalid property  value for property: NumberOfRings = 0.\r\n");
  EXPECT_EQ(kel_log_.FormatMessage(kel_msg::kLocationRequired, {}),
            "A ServiceLocation property must be specified.\r\n");
  // A message with two placeholders given one string leaves %2 empty.
  const std::string_view one[] = {"/x.xml"};
  EXPECT_EQ(kel_log_.FormatMessage(kel_msg::kXmlSaveFailed, one),
            "Failed to save XML file /x.xml with error: .\r\n");
  // Insertions are not formatted again.
  const std::string_view percent[] = {"%2%1", "b"};
  EXPECT_EQ(kel_log_.FormatMessage(kel_msg::kErrorIn, percent), "Error in %2%1: b\r\n");
  EXPECT_EQ(kel_log_.FormatMessage(0xC0000099, {}), "");

  CEventLog scheduler("Ringwell Dialqueue", "", dialqueue_msg::kTable);
  const std::string_view xml[] = {"CCallService::AddRequest", "Unspecified error"};
  EXPECT_EQ(scheduler.FormatMessage(dialqueue_msg::kXmlErrorIn, xml),
            "XML error in CCallService::AddRequest: Unspecified error.\r\n");
  CEventLog prepax("Ringwell Prepax", "", prepax_msg::kTable);
  const std::string_view file[] = {"/a.wav"};
  EXPECT_EQ(prepax.FormatMessage(prepax_msg::kCopyFileFailed, file),
            "Failed to copy file: /a.wav.\r\n");
}

TEST_F(ErrorReportTest, ToolkitRuleViolationReachesOnlyTheCaller) {
  EXPECT_EQ(kel_.Plain(kel_msg::kLocationRequired, static_cast<HRESULT>(kel_msg::kLocationRequired),
                       LogFlag::kNo),
            static_cast<HRESULT>(0xC0000011));
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, "A ServiceLocation property must be specified.\r\n");
  EXPECT_EQ(info->source, "Kel.KelService.1");
  EXPECT_TRUE(info->iid.IsNull());
  EXPECT_TRUE(EventLogEntries().empty());
  // The error object was taken: a second fetch finds none.
  EXPECT_FALSE(GetErrorInfo());
}

TEST_F(ErrorReportTest, VariantsDecideLoggingAndErrorObjects) {
  // Log only: an entry, no error object.
  EXPECT_EQ(kel_.LogOnly(kel_msg::kRegistryError, "missing", E_FAIL), E_FAIL);
  EXPECT_FALSE(GetErrorInfo());
  // A success code is logged but sets no error object.
  EXPECT_EQ(kel_.OneString(kel_msg::kSourceFileNotFound, "a.wav", S_FALSE, LogFlag::kYes), S_FALSE);
  EXPECT_FALSE(GetErrorInfo());
  // Two strings with the interface identifier given.
  const Guid iid = Guid::Generate();
  EXPECT_EQ(
      kel_.TwoStrings(kel_msg::kXmlLoadFailed, "/r.xml", "bad", E_INVALIDARG, LogFlag::kYes, iid),
      E_INVALIDARG);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->iid, iid);
  EXPECT_EQ(info->description, "Failed to load XML file /r.xml with error: bad.\r\n");

  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].source, "Kel");
  EXPECT_EQ(entries[0].type, "error");
  EXPECT_EQ(entries[0].event_id, 0xC0000002u);
  EXPECT_EQ(entries[0].strings, std::vector<std::string>{"missing"});
  EXPECT_EQ(entries[0].text, "Registry Error: missing\r\n");
  EXPECT_EQ(entries[2].strings, (std::vector<std::string>{"/r.xml", "bad"}));
}

TEST_F(ErrorReportTest, GuardReportsCaughtFailuresWithTheOperationName) {
  CEventLog log("Tallier", "", tallier_msg::kTable);
  ErrorReporter tallier(log, "Tallier.Tallier.1");
  const Guid iid = Guid::Generate();
  HRESULT hr = tallier.Guard("CTallier::UpdateStatus", [&]() -> HRESULT {
    throw ComError(MakeHresult(0x80040201u), ErrorInfo{"x", "", iid});
  });
  EXPECT_EQ(hr, MakeHresult(0x80040201u));
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->source, "Tallier.Tallier.1");
  EXPECT_EQ(info->iid, iid);
  EXPECT_EQ(info->description, "Error in CTallier::UpdateStatus: IDispatch error #1\r\n");

  EXPECT_EQ(tallier.Guard("CTallier::AddCallResult", []() -> HRESULT { throw std::bad_alloc(); }),
            E_OUTOFMEMORY);
  EXPECT_EQ(tallier.Guard("CTallier::AddCallResult", []() -> HRESULT { throw 42; }), E_FAIL);
  EXPECT_EQ(tallier.Guard("CTallier::AddCallResult", [] { return S_FALSE; }), S_FALSE);

  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].strings,
            (std::vector<std::string>{"CTallier::UpdateStatus", "IDispatch error #1"}));
  EXPECT_EQ(entries[1].text,
            "Error in CTallier::AddCallResult: Not enough memory resources are available to "
            "complete this operation.\r\n");
}

// The reason a failure's error object gives follows the code's text; what the
// failure concerns goes beside the entry, never into its strings.
TEST_F(ErrorReportTest, GuardAddsTheReasonAndWritesTheContextBesideTheEntry) {
  CEventLog log("Tallier", "", tallier_msg::kTable);
  const ErrorReporter tallier =
      ErrorReporter(log, "Tallier.Tallier.1").About({.request_id = "{R}", .path = "/r/R.xml"});
  EXPECT_EQ(tallier.Guard("CTallier::AddCallResult",
                          []() -> HRESULT {
                            throw ComError(E_INVALIDARG, ErrorInfo{"", "No Time.\r\n", {}});
                          }),
            E_INVALIDARG);
  const auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description,
            "Error in CTallier::AddCallResult: The parameter is incorrect. No Time.\r\n");
  // A scheduler's boundary names its own message.
  CEventLog scheduler("Ringwell Dialqueue", "", dialqueue_msg::kTable);
  EXPECT_EQ(ErrorReporter(scheduler, "Dialqueue.Dialqueue.1")
                .About({.line = 3})
                .Guard("CCallService::AddRequest", dialqueue_msg::kXmlErrorIn,
                       []() -> HRESULT { throw ComError(E_FAIL); }),
            E_FAIL);

  const auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].strings, (std::vector<std::string>{"CTallier::AddCallResult",
                                                          "The parameter is incorrect. No Time."}));
  EXPECT_EQ(entries[0].request_id, "{R}");
  EXPECT_EQ(entries[0].path, "/r/R.xml");
  EXPECT_EQ(entries[0].line, std::nullopt);
  EXPECT_EQ(entries[1].event_id, dialqueue_msg::kXmlErrorIn);
  EXPECT_EQ(entries[1].text, "XML error in CCallService::AddRequest: Unspecified error.\r\n");
  EXPECT_EQ(entries[1].line, 3);
  EXPECT_EQ(entries[1].path, "");
}

TEST_F(ErrorReportTest, EventSourceIsRegisteredInTheStore) {
  CEventLog log("Ringwell Wavshift", "/opt/ringwell/lib/libwavshift.so", wavshift_msg::kTable);
  EXPECT_TRUE(log.registered());
  registry::Key key;
  ASSERT_EQ(registry::Key::Open(CEventLog::SourceKeyPath("Ringwell Wavshift"), &key), S_OK);
  std::string file;
  std::uint32_t types = 0;
  EXPECT_EQ(key.QueryString("EventMessageFile", &file), S_OK);
  EXPECT_EQ(file, "/opt/ringwell/lib/libwavshift.so");
  EXPECT_EQ(key.QueryDword("TypesSupported", &types), S_OK);
  EXPECT_EQ(types, 7u);
}

}  // namespace
}  // namespace ringwell
