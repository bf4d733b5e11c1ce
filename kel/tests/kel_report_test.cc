// Reports read through GetReport: the snapshot tree of report, sub-reports
// and calls, the defaults for what a report file leaves out, the failures of
// files that cannot be used, and a report written by the real report
// generator.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "kel_service.h"
#include "kel_test_util.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::WriteFile;

constexpr char kId[] = "{3C1A9F0E-5B2D-4E7C-8A6B-1D0F2E3C4B5A}";
constexpr char kNamespaces[] =
    "xmlns=\"urn:schemas-microsoft-com:xml-data\" "
    "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\"";

class KelReportTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    service_ = ComPtr<IKelService>(MakeComObject<CKelService>(std::chrono::milliseconds(1)).Get());
  }

  void WriteReport(const std::string& xml) { WriteFile(root() + "Reports/" + kId + ".xml", xml); }

  ComPtr<IKelReport> Report() {
    ComPtr<IKelReport> report;
    EXPECT_EQ(service_->GetReport(kId, report.Put()), S_OK);
    return report;
  }

  // The members of a collection property, in order.
  template <class M, class I, class C>
  static std::vector<ComPtr<M>> Members(I* owner, HRESULT (I::*property)(C**)) {
    ComPtr<C> collection;
    EXPECT_EQ((owner->*property)(collection.Put()), S_OK);
    std::int32_t count = 0;
    EXPECT_EQ(collection->get_Count(&count), S_OK);
    std::vector<ComPtr<M>> members(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) {
      EXPECT_EQ(collection->get_Item(Variant(i), members[i].Put()), S_OK);
    }
    return members;
  }
  static std::vector<ComPtr<IKelSubReport>> SubReports(IKelReport* report) {
    return Members<IKelSubReport>(report, &IKelReport::get_SubReports);
  }
  static std::vector<ComPtr<IKelCall>> Calls(IKelSubReport* sub_report) {
    return Members<IKelCall>(sub_report, &IKelSubReport::get_Calls);
  }

  template <class I>
  static std::string Text(I* object, HRESULT (I::*getter)(std::string*)) {
    std::string value = "<unset>";
    EXPECT_EQ((object->*getter)(&value), S_OK);
    return value;
  }

  ComPtr<IKelService> service_;
};

TEST_F(KelReportTest, AReportFileBecomesATreeOfSnapshots) {
  WriteReport(std::string("<Report ") + kNamespaces + " UserID=\"{0}\" ID=\"" + kId +
              "\" Type=\"Page\" Status=\"InProgress\">"
              "<SubReport Recipient=\"5551\" Status=\"Completed\">"
              "<Call Status=\"Completed\" Error=\"none\"><Time dt:dt=\"dateTime\">"
              "2024-03-01T10:30:15</Time><Answer>Human</Answer><Protocol>1 9</Protocol>"
              "<Duration dt:dt=\"int\">42</Duration></Call>"
              "<Call Status=\"Busy\"><Time dt:dt=\"dateTime\">2024-03-01T10:20:00</Time>"
              "<Duration>-1</Duration></Call></SubReport>"
              "<SubReport Recipient=\"5552 \" Status=\"Scheduled\"/>"
              "<AdditionalInfo><Order No=\"7\"><Item>a&amp;b</Item></Order></AdditionalInfo>"
              "</Report>");
  ComPtr<IKelReport> report = Report();
  ASSERT_TRUE(report);
  EXPECT_EQ(Text(report.Get(), &IKelReport::get_Status), "InProgress");
  EKelRequestType type = kelCallRequest;
  EXPECT_EQ(report->get_Type(&type), S_OK);
  EXPECT_EQ(type, kelPageRequest);
  EXPECT_EQ(Text(report.Get(), &IKelReport::get_AdditionalInfo),
            "<Order No=\"7\"><Item>a&amp;b</Item></Order>");

  const auto sub_reports = SubReports(report.Get());
  ASSERT_EQ(sub_reports.size(), 2u);
  EXPECT_EQ(Text(sub_reports[0].Get(), &IKelSubReport::get_Recipient), "5551");
  EXPECT_EQ(Text(sub_reports[1].Get(), &IKelSubReport::get_Status), "Scheduled");

  const auto calls = Calls(sub_reports[0].Get());
  ASSERT_EQ(calls.size(), 2u);
  OleDate time = 0;
  EXPECT_EQ(calls[0]->get_Time(&time), S_OK);
  EXPECT_EQ(OleDateToIso(time), "2024-03-01T10:30:15");
  std::int32_t duration = 0;
  EXPECT_EQ(calls[0]->get_Duration(&duration), S_OK);
  EXPECT_EQ(duration, 42);
  EXPECT_EQ(calls[1]->get_Duration(&duration), S_OK);
  EXPECT_EQ(duration, -1);
  EXPECT_EQ(Text(calls[0].Get(), &IKelCall::get_Answer), "Human");
  EXPECT_EQ(Text(calls[0].Get(), &IKelCall::get_Protocol), "1 9");
  EXPECT_EQ(Text(calls[0].Get(), &IKelCall::get_Error), "none");
  EXPECT_EQ(Text(calls[1].Get(), &IKelCall::get_Status), "Busy");

  // Recipients are found by their exact text.
  ComPtr<IKelSubReport> found;
  EXPECT_EQ(report->FindSubReport("5552 ", found.Put()), S_OK);
  EXPECT_EQ(found.Get(), sub_reports[1].Get());
  EXPECT_EQ(report->FindSubReport("5552", found.Put()), S_FALSE);
  EXPECT_FALSE(found);
  EXPECT_EQ(report->FindSubReport("5551", nullptr), E_INVALIDARG);
}

TEST_F(KelReportTest, WhatAReportLeavesOutReadsAsEmptyOrDefault) {
  WriteReport(
      "<Report Type=\"Unknown\"><SubReport><Call><Time>2024-03-01T08:00:00</Time></Call>"
      "</SubReport><AdditionalInfo>a&amp;b&lt;c</AdditionalInfo></Report>");
  ComPtr<IKelReport> report = Report();
  ASSERT_TRUE(report);
  EXPECT_EQ(Text(report.Get(), &IKelReport::get_Status), "");
  EKelRequestType type = kelPageRequest;
  EXPECT_EQ(report->get_Type(&type), S_OK);
  EXPECT_EQ(type, kelCallRequest);
  EXPECT_EQ(Text(report.Get(), &IKelReport::get_AdditionalInfo), "a&amp;b&lt;c");
  const auto sub_reports = SubReports(report.Get());
  ASSERT_EQ(sub_reports.size(), 1u);
  EXPECT_EQ(Text(sub_reports[0].Get(), &IKelSubReport::get_Recipient), "");
  EXPECT_EQ(Text(sub_reports[0].Get(), &IKelSubReport::get_Status), "");
  const auto calls = Calls(sub_reports[0].Get());
  ASSERT_EQ(calls.size(), 1u);
  std::int32_t duration = 0;
  EXPECT_EQ(calls[0]->get_Duration(&duration), S_OK);
  EXPECT_EQ(duration, -1);
  for (auto getter : {&IKelCall::get_Answer, &IKelCall::get_Protocol, &IKelCall::get_Status,
                      &IKelCall::get_Error}) {
    EXPECT_EQ(Text(calls[0].Get(), getter), "");
  }

  WriteReport("<Report><AdditionalInfo/></Report>");
  report = Report();
  ASSERT_TRUE(report);
  EXPECT_EQ(Text(report.Get(), &IKelReport::get_AdditionalInfo), "");
  EXPECT_TRUE(SubReports(report.Get()).empty());
}

TEST_F(KelReportTest, ACallWithoutTimeOrWithANonNumericDurationIsACaughtFailure) {
  const std::string calls[] = {
      "<Call Status=\"Busy\"><Duration>5</Duration></Call>",
      "<Call><Time dt:dt=\"dateTime\">2024-03-01T08:00:00</Time><Duration>five</Duration></Call>",
  };
  for (const std::string& call : calls) {
    SCOPED_TRACE(call);
    ClearEventLog();
    WriteReport(std::string("<Report ") + kNamespaces + "><SubReport Recipient=\"1\">" + call +
                "</SubReport></Report>");
    ComPtr<IKelReport> report;
    EXPECT_EQ(service_->GetReport(kId, report.Put()), E_INVALIDARG);
    EXPECT_FALSE(report);
    EXPECT_EQ(TakeDescription(),
              "Error in CKelCall::DeXMLize: " + ErrorText(E_INVALIDARG) + "\r\n");
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].event_id, kel_msg::kErrorIn);
    EXPECT_EQ(entries[0].strings[0], "CKelCall::DeXMLize");
  }
}

TEST_F(KelReportTest, MissingUnusableAndForbiddenReportsAreRefused) {
  const std::string path = root() + "Reports/" + kId + ".xml";
  ComPtr<IKelReport> report;
  EXPECT_EQ(service_->GetReport(kId, report.Put()), S_FALSE);
  EXPECT_FALSE(report);

  WriteReport("this is not XML");
  EXPECT_EQ(service_->GetReport(kId, report.Put()), MakeHresult(kel_msg::kXmlLoadFailed));
  const std::string description = TakeDescription();
  EXPECT_EQ(description.rfind("Failed to load XML file " + path + " with error: ", 0), 0u)
      << description;

  WriteReport("<Report/>");
  {
    testing::PermissionsEnforced enforced;
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    EXPECT_EQ(service_->GetReport(kId, report.Put()), MakeHresult(kel_msg::kFileAccessFailed));
    EXPECT_EQ(TakeDescription(), "Failed to access specified file: " + path + ".\r\n");
  }
  EXPECT_TRUE(EventLogEntries().empty());

  // An identifier that is not a plain name never becomes a path.
  WriteFile(root() + "outside.xml", "<Report Status=\"Secret\"/>");
  EXPECT_EQ(service_->GetReport("../outside", report.Put()), E_INVALIDARG);
  EXPECT_EQ(service_->GetReport(nullptr, report.Put()), E_INVALIDARG);
  EXPECT_EQ(service_->GetReport(kId, nullptr), E_INVALIDARG);
  ASSERT_EQ(service_->put_Location(""), S_OK);
  EXPECT_EQ(service_->GetReport(kId, report.Put()), MakeHresult(kel_msg::kLocationRequired));
  EXPECT_FALSE(report);
}

TEST_F(KelReportTest, AReportWrittenByTheReportGeneratorReadsBack) {
  ASSERT_TRUE(RegisterLibrary("tallier"));
  ComPtr<tallier::ITallier> tallier;
  ASSERT_EQ(CreateInstance(std::string_view(tallier::kTallierProgId), &tallier), S_OK);

  ComPtr<IKelRequest> request = NewRequest();
  AddRecipient(request.Get(), "5551");
  AddRecipient(request.Get(), "5552");
  ASSERT_EQ(request->put_Type(kelPageRequest), S_OK);
  ASSERT_EQ(request->put_AdditionalInfo("<Ticket Id=\"42\">Disk &amp; fan</Ticket>"), S_OK);
  ASSERT_EQ(request->put_StartTime(45000.0), S_OK);
  ASSERT_EQ(request->put_StopTime(45001.0), S_OK);
  std::string id;
  ASSERT_EQ(service_->SubmitRequest(request.Get(), &id), S_OK);

  ASSERT_EQ(tallier->CreateNewReport((root() + "Inbox/" + id + ".xml").c_str()), S_OK);
  const std::string path = root() + "Reports/" + id + ".xml";
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "*", "Scheduled"), S_OK);
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "5552", "Failed"), S_OK);
  ASSERT_EQ(tallier->AddCallResult(path.c_str(), "5552",
                                   "<Call xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" "
                                   "Status=\"Failed\"><Time dt:dt=\"dateTime\">"
                                   "2023-03-15T09:00:00</Time><Answer>NoAnswer</Answer>"
                                   "<Duration dt:dt=\"int\">0</Duration></Call>"),
            S_OK);

  ComPtr<IKelReport> report;
  ASSERT_EQ(service_->GetReport(id.c_str(), report.Put()), S_OK);
  EXPECT_EQ(Text(report.Get(), &IKelReport::get_Status), "Scheduled");
  EKelRequestType type = kelCallRequest;
  EXPECT_EQ(report->get_Type(&type), S_OK);
  EXPECT_EQ(type, kelPageRequest);
  EXPECT_EQ(Text(report.Get(), &IKelReport::get_AdditionalInfo),
            "<Ticket Id=\"42\">Disk &amp; fan</Ticket>");
  ComPtr<IKelSubReport> failed;
  ASSERT_EQ(report->FindSubReport("5552", failed.Put()), S_OK);
  EXPECT_EQ(Text(failed.Get(), &IKelSubReport::get_Status), "Failed");
  const auto calls = Calls(failed.Get());
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(Text(calls[0].Get(), &IKelCall::get_Answer), "NoAnswer");
  OleDate time = 0;
  EXPECT_EQ(calls[0]->get_Time(&time), S_OK);
  EXPECT_EQ(OleDateToIso(time), "2023-03-15T09:00:00");
  EXPECT_EQ(SubReports(report.Get()).size(), 2u);
}

}  // namespace
}  // namespace ringwell::kel
