#include "file_processor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "inbox_withdrawal.h"
#include "prepax_test_support.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::prepax {
namespace {

using namespace ringwell::kel;
using ringwell::testing::ListDir;
using ringwell::testing::ReadFile;
using ringwell::testing::WriteFile;
using testing::kTestFormat;

class FileProcessorTest : public testing::PrepaxTest {
 protected:
  // One cycle of the daemon's worker.
  void RunCycle(CFileProcessor& processor) {
    processor.ScanInbox();
    processor.ProcessFiles();
  }
  void RunCycle() {
    CFileProcessor processor;
    RunCycle(processor);
  }
  std::vector<std::string> ErrorTexts() {
    std::vector<std::string> texts;
    for (const auto& entry : EventLogEntries()) texts.push_back(entry.text);
    return texts;
  }
  void ExpectCleared(const std::string& id) {
    EXPECT_FALSE(std::filesystem::exists(InboxFile(id)));
    EXPECT_FALSE(std::filesystem::exists(RequestFile(id)));
    EXPECT_FALSE(std::filesystem::exists(RequestDir(id)));
  }
  std::string ExpectStatusEverywhere(const std::string& id,
                                     const std::vector<std::string>& recipients) {
    const std::string status = ReportStatus(id);
    for (const auto& r : recipients) EXPECT_EQ(ReportStatus(id, r), status) << r;
    return status;
  }
};

TEST_F(FileProcessorTest, TextAndFilePartsBecomeWavFilesInTheConfiguredFormat) {
  StoreRecording("hello.wav");
  auto request = NewRequest({"5551234", "5555678"});
  AddPart(request.Get(), kelTextMessagePart, "Good morning",
          {{"Voice", "Female"}, {"Volume", "80"}, {"Rate", "2"}});
  AddPart(request.Get(), kelFileNameMessagePart, "hello.wav");
  const std::string id = Submit(request.Get());

  CFileProcessor processor;
  processor.ScanInbox();
  EXPECT_EQ(processor.pending(), std::vector<std::string>{id + ".xml"});
  processor.ProcessFiles();

  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_EQ(ExpectStatusEverywhere(id, {"5551234", "5555678"}), "Scheduled");
  xml::Document scheduled = LoadXml(RequestFile(id));
  auto parts = xml::ElementsByName(scheduled.dom(), "MessagePart");
  ASSERT_EQ(parts.size(), 2u);
  const std::string spoken = xml::Text(parts[0]);
  EXPECT_EQ(spoken.rfind("wav", 0), 0u);
  EXPECT_EQ(spoken.substr(spoken.size() - 4), ".wav");
  EXPECT_STREQ(parts[0].attribute("Type").value(), "File");
  EXPECT_STREQ(parts[0].attribute("Rate").value(), "2");
  EXPECT_FALSE(parts[0].attribute("Voice"));
  EXPECT_FALSE(parts[0].attribute("Volume"));
  EXPECT_EQ(xml::Text(parts[1]), "hello.wav");

  std::vector<std::string> wavs = ListDir(RequestDir(id));
  std::vector<std::string> expected = {spoken, "hello.wav"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(wavs, expected);  // no marker, no placeholder left
  const audio::WaveFormat telephony = audio::FindAudioFormat(kTestFormat).Wave();
  for (const auto& wav : wavs) {
    EXPECT_EQ(audio::ReadStoredFormat(RequestDir(id) + "/" + wav), telephony) << wav;
  }
  // The report keeps what was said, beyond the request file's life.
  xml::Document report = LoadXml(ReportFile(id));
  const pugi::xml_node record = xml::ChildElement(report.FirstChild(), "RequestRecord");
  ASSERT_TRUE(record) << report.Xml();
  EXPECT_STREQ(record.attribute("StartTime").value(),
               xml::Text(xml::ChildElement(scheduled.FirstChild(), "StartTime")).c_str());
  const auto recorded = xml::ElementsByName(record, "Part");
  ASSERT_EQ(recorded.size(), 2u) << report.Xml();
  EXPECT_EQ(xml::Text(recorded[0]), "Good morning");
  EXPECT_STREQ(recorded[0].attribute("File").value(), spoken.c_str());
  EXPECT_STREQ(recorded[0].attribute("Type").value(), "Text");
  EXPECT_EQ(xml::Text(recorded[1]), "hello.wav");
  EXPECT_STREQ(recorded[1].attribute("Type").value(), "File");
  EXPECT_TRUE(EventLogEntries().empty()) << ::testing::PrintToString(ErrorTexts());
}

TEST_F(FileProcessorTest, PageRequestKeepsItsPartsAndNeverReadsTheFileStore) {
  auto request = NewRequest({"700"});
  request->put_Type(kelPageRequest);
  AddPart(request.Get(), kelTextMessagePart, "Server down");
  AddPart(request.Get(), kelFileNameMessagePart, "not-stored.wav");
  const std::string id = Submit(request.Get());
  const std::vector<std::string> submitted = ElementsOf(InboxFile(id));
  RunCycle();
  EXPECT_EQ(ExpectStatusEverywhere(id, {"700"}), "Scheduled");
  EXPECT_EQ(ElementsOf(RequestFile(id)), submitted);
  EXPECT_TRUE(ListDir(RequestDir(id)).empty());
}

TEST_F(FileProcessorTest, FailuresClearTheRequestAndRecordTheirStatus) {
  struct Case {
    const char* name;
    std::function<void(IKelRequest*)> prepare;
    const char* status;
    const char* first_entry;  // beginning of the step's own event text
  };
  const Case cases[] = {
      {"missing recording",
       [this](IKelRequest* r) {
         AddPart(r, kelTextMessagePart, "Before the file");
         AddPart(r, kelFileNameMessagePart, "missing.wav");
       },
       "ErrorNoFile", "Failed to copy file: "},
      {"recording that is not a wav file",
       [this](IKelRequest* r) {
         WriteFile(root() + "Files/{0}/bad.wav", "not audio at all");
         AddPart(r, kelFileNameMessagePart, "bad.wav");
       },
       "ErrorConvertFile", "Error in CWavshift::ConvertFile(): "},
      {"recording with an upper-case extension that is not audio",
       [this](IKelRequest* r) {
         StoreRecording("UP.wav");
         WriteFile(root() + "Files/{0}/BAD.WAV", "not audio at all");
         AddPart(r, kelFileNameMessagePart, "UP.wav");
         AddPart(r, kelFileNameMessagePart, "BAD.WAV");
       },
       "ErrorConvertFile", "Error in CWavshift::ConvertFile(): "},
      // Placed in the store past its checks: 15 channels of IEEE float at
      // 17,536 Hz whose fmt chunk states a block align of 2 bytes, holding
      // samples far beyond full scale (it crashed the converter).
      {"recording whose header disagrees with its audio",
       [this](IKelRequest* r) {
         std::string wav;
         auto put = [&wav](std::uint32_t value, int size) {
           for (int i = 0; i < size; ++i) wav += static_cast<char>(value >> (8 * i));
         };
         wav += "RIFF";
         put(4 + 24 + 8 + 240, 4);
         wav += "WAVEfmt ";
         put(16, 4);
         put(3, 2);  // IEEE float
         put(15, 2);
         put(17536, 4);
         put(17536 * 2, 4);
         put(2, 2);  // the block align
         put(32, 2);
         wav += "data";
         put(240, 4);
         for (int i = 0; i < 60; ++i) put(0x7F61B1E6, 4);  // 3e38
         WriteFile(root() + "Files/{0}/crafted.wav", wav);
         AddPart(r, kelFileNameMessagePart, "crafted.wav");
       },
       "ErrorConvertFile", "Error in CWavshift::ConvertFile(): "},
      {"no audio format configured",
       [this](IKelRequest* r) {
         DeleteConfigValue("AudioFormat");
         AddPart(r, kelTextMessagePart, "Hello");
       },
       "ErrorGenerateVoiceFile", "Error in CSpeech::GenerateVoiceFile()"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearEventLog();
    SetConfigNumber("AudioFormat", kTestFormat);
    auto request = NewRequest({"5551234"});
    c.prepare(request.Get());
    const std::string id = Submit(request.Get());
    RunCycle();
    EXPECT_EQ(ExpectStatusEverywhere(id, {"5551234"}), c.status);
    ExpectCleared(id);
    auto texts = ErrorTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.front().rfind(c.first_entry, 0), 0u) << texts.front();
    EXPECT_EQ(texts.back().rfind("Error in CFileProcessor::ProcessFiles: ", 0), 0u);
  }
}

TEST_F(FileProcessorTest, NamesThatAreNotPlainNeverLeaveTheStorageRoot) {
  // A file part naming a path outside the file store.
  WriteFile(scratch() + "secret.wav", "outside");
  StoreRecording("hello.wav");
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kelFileNameMessagePart, "hello.wav");
  const std::string id = Submit(request.Get());
  std::string text = ReadFile(InboxFile(id));
  text.replace(text.find("hello.wav"), 9, "../../../scratch/secret.wav");
  WriteFile(InboxFile(id), text);
  // A request whose ID is a path.
  WriteFile(root() + "Inbox/evil.xml",
            "<Request ID=\"../../scratch/escape\" UserID=\"{0}\" Type=\"Call\">"
            "<Recipients><Recipient>1</Recipient></Recipients></Request>");

  CFileProcessor processor;
  RunCycle(processor);
  EXPECT_EQ(ReportStatus(id), "InternalError");
  ExpectCleared(id);
  EXPECT_EQ(ListDir(scratch()), std::vector<std::string>{"secret.wav"});
  EXPECT_EQ(ListDir(root() + "Reports"), (std::vector<std::string>{".lock", id + ".xml"}));
  // The request with the unsafe ID is set aside: not retried while the daemon runs.
  EXPECT_TRUE(std::filesystem::exists(root() + "Inbox/evil.xml"));
  processor.ScanInbox();
  EXPECT_TRUE(processor.pending().empty());
}

TEST_F(FileProcessorTest, UnparsableFilesWaitAndFilesWithoutIdAreNotRetried) {
  WriteFile(root() + "Inbox/half.xml", "<Request ID=\"{A}\"><Recip");
  WriteFile(root() + "Inbox/noid.xml", "<Request UserID=\"{0}\" Type=\"Call\"/>");
  CFileProcessor processor;
  RunCycle(processor);
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);  // only the file without ID is reported
  EXPECT_EQ(entries[0].strings[0], "CFileProcessor::ProcessFiles");
  processor.ScanInbox();
  EXPECT_EQ(processor.pending(), std::vector<std::string>{"half.xml"});
  EXPECT_TRUE(ListDir(root() + "Reports").empty());
}

TEST_F(FileProcessorTest, InterruptedRequestIsProcessedAgainButADuplicateIdFails) {
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kelTextMessagePart, "Hello again");
  const std::string interrupted = Submit(request.Get());
  const std::string duplicate = Submit(request.Get());
  // A run that stopped halfway left its directory, marked, with a stale file.
  std::filesystem::create_directory(RequestDir(interrupted));
  WriteFile(RequestDir(interrupted) + "/" + kPreprocessingMarker, "");
  WriteFile(RequestDir(interrupted) + "/wavSTALE.wav", "stale");
  // A finished request's directory under the same ID as a new submission.
  std::filesystem::create_directory(RequestDir(duplicate));
  WriteFile(RequestDir(duplicate) + "/wavOLD.wav", "old");

  RunCycle();
  EXPECT_EQ(ReportStatus(interrupted), "Scheduled");
  EXPECT_EQ(ListDir(RequestDir(interrupted)).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(RequestDir(interrupted) + "/wavSTALE.wav"));
  EXPECT_EQ(ReportStatus(duplicate), "InternalError");
  ExpectCleared(duplicate);
}

TEST_F(FileProcessorTest, RequestWhoseReportCannotBeCreatedWaitsInInboxWithOneEvent) {
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kelTextMessagePart, "Hello");
  const std::string id = Submit(request.Get());
  std::filesystem::remove_all(root() + "Reports");

  CFileProcessor processor;
  for (int cycle = 0; cycle < 3; ++cycle) RunCycle(processor);
  EXPECT_TRUE(std::filesystem::exists(InboxFile(id)));
  EXPECT_TRUE(ListDir(root() + "Requests").empty());
  int naming = 0;
  for (const auto& text : ErrorTexts()) {
    // The report generator's own event names the report it could not write.
    if (text.starts_with("Error in CTallier::")) continue;
    if (text.find(id) != std::string::npos) {
      ++naming;
      EXPECT_NE(text.find(root() + "Reports/"), std::string::npos) << text;
    }
  }
  EXPECT_EQ(naming, 1);
  const std::size_t events = EventLogEntries().size();
  RunCycle(processor);
  EXPECT_EQ(EventLogEntries().size(), events);  // not one more per cycle

  std::filesystem::create_directory(root() + "Reports");
  RunCycle(processor);
  EXPECT_EQ(ReportStatus(id), "Scheduled");
  EXPECT_FALSE(std::filesystem::exists(InboxFile(id)));
}

TEST_F(FileProcessorTest, UnreadableInboxFileFailsOnceWithItsStatus) {
  auto request = NewRequest({"5551234"});
  const std::string id = Submit(request.Get());
  std::filesystem::permissions(InboxFile(id), std::filesystem::perms::none);
  CFileProcessor processor;
  {
    ringwell::testing::PermissionsEnforced enforced;
    RunCycle(processor);
    RunCycle(processor);
  }
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u) << ::testing::PrintToString(ErrorTexts());
  EXPECT_NE(entries[0].text.find("Cannot read the request file " + InboxFile(id)),
            std::string::npos)
      << entries[0].text;
  EXPECT_NE(entries[0].text.find(ErrorText(E_ACCESSDENIED)), std::string::npos);
  EXPECT_EQ(entries[1].strings,
            (std::vector<std::string>{"CFileProcessor::ProcessFiles", ErrorText(E_ACCESSDENIED)}));
  processor.ScanInbox();
  EXPECT_TRUE(processor.pending().empty());
  EXPECT_TRUE(std::filesystem::exists(InboxFile(id)));  // left for the operator
}

// A speech component that remembers what it was asked to say, and runs
// `while_speaking` (when set) at each text.
class CRecordingSpeech final : public ComObject<ISpeech> {
 public:
  static inline std::vector<std::string> spoken;
  static inline std::function<void()> while_speaking;
  HRESULT Initialize() override { return S_OK; }
  HRESULT GenerateVoiceFile(const char* text, const char* path, const char*, std::int32_t,
                            std::int32_t) override {
    spoken.push_back(text);
    if (while_speaking) while_speaking();
    audio::AudioBuffer silence{8000, 1, std::vector<float>(800, 0.0f)};
    audio::ReplaceWavFile(path, silence, audio::FindAudioFormat(kTestFormat));
    return S_OK;
  }
  HRESULT get_AudioFormat(std::int32_t* format) override {
    *format = kTestFormat;
    return S_OK;
  }
};

TEST_F(FileProcessorTest, FilesOfOneCycleAreProcessedInNameOrderUntilAStop) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CreateClassFactory<CRecordingSpeech>(factory.Put()), S_OK);
  ServeSpeech(factory);
  CRecordingSpeech::spoken.clear();
  std::vector<std::pair<std::string, std::string>> submitted;
  for (const char* text : {"one", "two", "three"}) {
    auto request = NewRequest({"5551234"});
    AddPart(request.Get(), kelTextMessagePart, text);
    submitted.emplace_back(Submit(request.Get()), text);
  }
  std::sort(submitted.begin(), submitted.end());

  CFileProcessor processor;
  processor.ScanInbox();
  std::stop_source stop;
  stop.request_stop();
  processor.ProcessFiles(stop.get_token());
  EXPECT_TRUE(CRecordingSpeech::spoken.empty());
  EXPECT_EQ(ListDir(root() + "Inbox").size(), 3u);

  RunCycle(processor);
  ASSERT_EQ(CRecordingSpeech::spoken.size(), 3u);
  for (std::size_t i = 0; i < submitted.size(); ++i) {
    EXPECT_EQ(CRecordingSpeech::spoken[i], submitted[i].second);
    EXPECT_EQ(ReportStatus(submitted[i].first), "Scheduled");
  }
}

// While a request is processed its report says "Processing", and so do the
// recipients the request lists as "PhoneNumber"; the others get their first
// status with "Scheduled".
TEST_F(FileProcessorTest, ReportAndPhoneNumbersSayProcessingUntilTheRequestIsScheduled) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CreateClassFactory<CRecordingSpeech>(factory.Put()), S_OK);
  ServeSpeech(factory);
  auto request = NewRequest({"5551234", "5555678"});
  AddPart(request.Get(), kelTextMessagePart, "Hello");
  const std::string id = Submit(request.Get());
  xml::Document submitted = LoadXml(InboxFile(id));
  pugi::xml_node numbers = submitted.FirstChild().append_child("PhoneNumbers");
  numbers.append_child("PhoneNumber").text().set("5551234");
  ASSERT_EQ(submitted.Save(InboxFile(id)), S_OK);
  std::vector<std::string> while_speaking;
  CRecordingSpeech::while_speaking = [&] {
    for (const char* recipient : {"", "5551234", "5555678"}) {
      while_speaking.push_back(ReportStatus(id, recipient));
    }
  };
  RunCycle();
  CRecordingSpeech::while_speaking = nullptr;

  EXPECT_EQ(while_speaking, (std::vector<std::string>{"Processing", "Processing", ""}));
  EXPECT_EQ(ExpectStatusEverywhere(id, {"5551234", "5555678"}), "Scheduled");
}

// The host must never see a request whose inbox file a power cut could bring
// back: when the removal from Inbox cannot be put on disk, the request fails
// before it reaches Requests.
TEST_F(FileProcessorTest, RequestDoesNotReachRequestsWhenItsRemovalFromInboxIsNotOnDisk) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CreateClassFactory<CRecordingSpeech>(factory.Put()), S_OK);
  ServeSpeech(factory);
  const std::string inbox = root() + "Inbox";
  using std::filesystem::perms;
  // While the request is spoken, Inbox stops being readable: its files can
  // still be removed, but the directory cannot be opened to sync it.
  CRecordingSpeech::while_speaking = [&] {
    std::filesystem::permissions(inbox, perms::owner_read | perms::group_read | perms::others_read,
                                 std::filesystem::perm_options::remove);
  };
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kelTextMessagePart, "Hello");
  const std::string id = Submit(request.Get());
  {
    CFileProcessor processor;
    ringwell::testing::PermissionsEnforced enforced;
    RunCycle(processor);
  }
  CRecordingSpeech::while_speaking = nullptr;
  std::filesystem::permissions(inbox, perms::owner_read, std::filesystem::perm_options::add);

  EXPECT_EQ(ExpectStatusEverywhere(id, {"5551234"}), "InternalError");
  ExpectCleared(id);
  const auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u) << ::testing::PrintToString(ErrorTexts());
  EXPECT_EQ(entries[0].strings[0], "CFileProcessor::ProcessFiles");
  EXPECT_NE(entries[0].strings[1].find("Cannot flush the removal of " + InboxFile(id)),
            std::string::npos)
      << entries[0].text;
  EXPECT_EQ(entries[1].strings,
            (std::vector<std::string>{"CFileProcessor::ProcessFiles", ErrorText(E_ACCESSDENIED)}));
}

// A client that withdraws a request from Inbox (kel cancel) while the daemon
// prepares it wins: the daemon finds the inbox file gone at its last step and
// ends the request "Canceled" instead of scheduling it.
TEST_F(FileProcessorTest, ARequestWithdrawnWhileItIsPreparedEndsCanceledAndNeverRuns) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CreateClassFactory<CRecordingSpeech>(factory.Put()), S_OK);
  ServeSpeech(factory);
  auto request = NewRequest({"5551234", "5555678"});
  AddPart(request.Get(), kelTextMessagePart, "Hello");
  const std::string id = Submit(request.Get());
  std::optional<kel::client::Withdrawal> withdrawal;
  CRecordingSpeech::while_speaking = [&] {
    withdrawal = kel::client::WithdrawFromInbox(root(), id);
  };
  RunCycle();
  CRecordingSpeech::while_speaking = nullptr;

  EXPECT_EQ(withdrawal, kel::client::Withdrawal::kWithdrawnWhilePrepared);
  EXPECT_EQ(ExpectStatusEverywhere(id, {"5551234", "5555678"}), "Canceled");
  ExpectCleared(id);
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_TRUE(ListDir(root() + "Requests").empty());
  EXPECT_TRUE(EventLogEntries().empty()) << ::testing::PrintToString(ErrorTexts());
  // Too late for a second withdrawal; a withdrawal nobody took up goes away.
  EXPECT_EQ(kel::client::WithdrawFromInbox(root(), id), kel::client::Withdrawal::kNotInInbox);
  WriteFile(root() + "Inbox/.{00000000-0000-4000-8000-000000000000}.xml.withdrawn", "<Request/>");
  RunCycle();
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
}

// The daemon stopped after staging a request that was withdrawn meanwhile:
// its restart does not take the staged request for one it had scheduled.
TEST_F(FileProcessorTest, AWithdrawalIsHonouredAfterARestart) {
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kelTextMessagePart, "Hello");
  const std::string id = Submit(request.Get());
  RunCycle();
  ASSERT_EQ(ReportStatus(id), "Scheduled");
  // Rewound to the moment before the daemon's removal of the inbox file,
  // which the client's withdrawal took first.
  std::filesystem::rename(RequestFile(id), RequestDir(id) + "/" + kScheduledRequest);
  WriteFile(RequestDir(id) + "/" + kPreprocessingMarker, "1");
  WriteFile(root() + "Inbox/." + id + ".xml.withdrawn", "<Request/>");
  RunCycle();
  EXPECT_EQ(ExpectStatusEverywhere(id, {"5551234"}), "Canceled");
  ExpectCleared(id);
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
}

}  // namespace
}  // namespace ringwell::prepax
