// What a daemon killed in the middle of a request leaves behind, state by
// state, and how a new processor ends each one: as if no kill had happened,
// and never preprocessing a request that reached Requests again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "file_processor.h"
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
namespace fs = std::filesystem;

// A speech component that counts what it is asked to say.
class CCountingSpeech final : public ComObject<ISpeech> {
 public:
  static inline int calls = 0;
  HRESULT Initialize() override { return S_OK; }
  HRESULT GenerateVoiceFile(const char*, const char* path, const char*, std::int32_t,
                            std::int32_t) override {
    ++calls;
    audio::AudioBuffer silence{8000, 1, std::vector<float>(800, 0.0f)};
    audio::ReplaceWavFile(path, silence, audio::FindAudioFormat(kTestFormat));
    return S_OK;
  }
  HRESULT get_AudioFormat(std::int32_t* format) override {
    *format = kTestFormat;
    return S_OK;
  }
};

class RecoveryTest : public testing::PrepaxTest {
 protected:
  void SetUp() override {
    PrepaxTest::SetUp();
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CreateClassFactory<CCountingSpeech>(factory.Put()), S_OK);
    ServeSpeech(factory);
    CCountingSpeech::calls = 0;
  }
  std::string SubmitOneText() {
    auto request = NewRequest({"5551234", "5555678"});
    AddPart(request.Get(), kelTextMessagePart, "The boiler is off.");
    return Submit(request.Get());
  }
  // A restart: a new processor, then one cycle of the worker.
  void Restart() {
    CFileProcessor processor;
    processor.ScanInbox();
    processor.ProcessFiles();
  }
  std::string Marker(const std::string& id) { return RequestDir(id) + "/" + kPreprocessingMarker; }
  // The report as preprocessing left it: "Processing" itself, its recipients
  // (Recipient elements, which get no status of their own then) without one.
  void RewindReport(const std::string& id) {
    SetReportStatus(id, "*", "");
    SetReportStatus(id, "", "Processing");
  }
  void SetReportStatus(const std::string& id, const std::string& recipient,
                       const std::string& status) {
    ComPtr<tallier::ITallier> tallier;
    ASSERT_EQ(CreateInstance(tallier::kTallierClsid, &tallier), S_OK);
    ASSERT_EQ(tallier->UpdateStatus(ReportFile(id).c_str(), recipient.c_str(), status.c_str()),
              S_OK);
  }
};

TEST_F(RecoveryTest, EveryStateAKillLeavesEndsAsIfNoKillHappened) {
  struct Case {
    const char* name;
    // Turns a finished request (its inbox copy given) back into the state
    // the kill left.
    std::function<void(const std::string& id, const std::string& inbox_copy)> rewind;
    int syntheses;  // how often the restart speaks the text again
  };
  const Case cases[] = {
      {"killed after saving to Requests, before deleting the inbox file; a line is dialling",
       [this](const std::string& id, const std::string& inbox) {
         WriteFile(InboxFile(id), inbox);
         WriteFile(Marker(id), "1");
         RewindReport(id);
         SetReportStatus(id, "5551234", "InProgress");
       },
       0},
      // Before the inbox file goes nothing of the request need be on disk:
      // after a power cut the staged request may be cut short, so it is
      // made again from the inbox file.
      {"killed or cut off after staging the request, before deleting the inbox file",
       [this](const std::string& id, const std::string& inbox) {
         fs::rename(RequestFile(id), RequestDir(id) + "/" + kScheduledRequest);
         WriteFile(RequestDir(id) + "/" + kScheduledRequest, inbox.substr(0, inbox.size() / 2));
         WriteFile(InboxFile(id), inbox);
         WriteFile(Marker(id), "1");
         WriteFile(RequestDir(id) + "/..scheduled.Ab12Cd", "<Request");
         RewindReport(id);
       },
       1},
      {"killed after deleting the inbox file, before moving the request to Requests",
       [this](const std::string& id, const std::string&) {
         fs::rename(RequestFile(id), RequestDir(id) + "/" + kScheduledRequest);
         WriteFile(Marker(id), "1");
         RewindReport(id);
       },
       0},
      {"killed after moving the request to Requests, before \"Scheduled\"",
       [this](const std::string& id, const std::string&) {
         WriteFile(Marker(id), "1");
         RewindReport(id);
       },
       0},
      {"killed between making the directory and its marker",
       [this](const std::string& id, const std::string& inbox) {
         fs::remove_all(RequestDir(id));
         fs::remove(RequestFile(id));
         fs::create_directory(root() + "Requests/." + id + ".x1Y2z3");
         WriteFile(root() + "Requests/." + id + ".x1Y2z3/" + kPreprocessingMarker, "1");
         WriteFile(root() + "Requests/." + id + ".xml.Q9w8E7", "<Req");
         WriteFile(InboxFile(id), inbox);
         RewindReport(id);
       },
       1},
      {"killed while speaking, leaving half-written files",
       [this](const std::string& id, const std::string& inbox) {
         for (const auto& name : ListDir(RequestDir(id))) fs::remove(RequestDir(id) + "/" + name);
         fs::remove(RequestFile(id));
         WriteFile(Marker(id), "1");
         WriteFile(RequestDir(id) + "/wavHALF.wav", "RIFF");
         WriteFile(RequestDir(id) + "/..preprocessing.aB3dE5", "2");
         WriteFile(InboxFile(id), inbox);
         WriteFile(root() + "Reports/." + id + ".xml.Zz9Yy8", "<Rep");
         RewindReport(id);
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = SubmitOneText();
    const std::string inbox_copy = ReadFile(InboxFile(id));
    Restart();
    ASSERT_EQ(ReportStatus(id), "Scheduled");
    const std::vector<std::string> scheduled = ElementsOf(RequestFile(id));
    const std::vector<std::string> wavs = ListDir(RequestDir(id));
    ASSERT_EQ(wavs.size(), 1u);

    c.rewind(id, inbox_copy);
    CCountingSpeech::calls = 0;
    ClearEventLog();
    Restart();

    EXPECT_EQ(CCountingSpeech::calls, c.syntheses);
    EXPECT_FALSE(fs::exists(InboxFile(id)));
    EXPECT_EQ(ReportStatus(id), "Scheduled");
    if (c.syntheses == 0) {
      // The very request and wav files the first run made.
      EXPECT_EQ(ElementsOf(RequestFile(id)), scheduled);
      EXPECT_EQ(ListDir(RequestDir(id)), wavs);
    } else {
      EXPECT_EQ(ListDir(RequestDir(id)).size(), 1u);
      EXPECT_TRUE(fs::exists(RequestFile(id)));
    }
    // Nothing temporary is left anywhere.
    for (const char* dir : {"Inbox", "Requests", "Reports"}) {
      for (const auto& name : ListDir(root() + dir)) {
        EXPECT_TRUE(name.front() != '.' || name.ends_with(".lock")) << dir << "/" << name;
      }
    }
    EXPECT_TRUE(EventLogEntries().empty());
  }
  // The recipient being dialled keeps its status.
  // (Checked on the first case's report: the one request left "InProgress".)
  int in_progress = 0;
  for (const auto& name : ListDir(root() + "Reports")) {
    if (name.front() == '.') continue;
    const std::string id = name.substr(0, name.size() - 4);
    if (ReportStatus(id, "5551234") == "InProgress") ++in_progress;
    EXPECT_EQ(ReportStatus(id, "5555678"), "Scheduled");
  }
  EXPECT_EQ(in_progress, 1);
}

TEST_F(RecoveryTest, MarkedDirectoryWithoutAnyRequestFileIsRemoved) {
  const std::string id = "{6D1B5E0A-0000-4000-8000-000000000001}";
  fs::create_directory(RequestDir(id));
  WriteFile(Marker(id), "1");
  WriteFile(RequestDir(id) + "/wavA.wav", "RIFF");
  Restart();
  EXPECT_FALSE(fs::exists(RequestDir(id)));
}

TEST_F(RecoveryTest, RequestThatStoppedTheDaemonTwiceIsGivenUp) {
  const std::string id = SubmitOneText();
  fs::create_directory(RequestDir(id));
  WriteFile(Marker(id), "1");
  Restart();  // the second start: it goes through
  EXPECT_EQ(ReportStatus(id), "Scheduled");

  const std::string again = SubmitOneText();
  fs::create_directory(RequestDir(again));
  WriteFile(Marker(again), "2");                               // started twice, never finished
  WriteFile(RequestDir(again) + "/.wavA.wav.k3Xq9Z", "RIFF");  // half-written when killed
  CCountingSpeech::calls = 0;
  Restart();
  EXPECT_EQ(CCountingSpeech::calls, 0);
  EXPECT_EQ(ReportStatus(again), "InternalError");
  EXPECT_EQ(ReportStatus(again, "5551234"), "InternalError");
  EXPECT_FALSE(fs::exists(InboxFile(again)));
  EXPECT_FALSE(fs::exists(RequestDir(again)));
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_NE(entries[0].text.find("Request " + again + " was started 2 times"), std::string::npos)
      << entries[0].text;
  EXPECT_EQ(entries[1].strings[0], "CFileProcessor::ProcessFiles");
}

}  // namespace
}  // namespace ringwell::prepax
