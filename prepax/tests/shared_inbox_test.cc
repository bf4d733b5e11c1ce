// Two daemons on one shared storage root (SharedRoot = 1, a lease of 10 s), as
// two boxes run them: one leads the Inbox and the other stands by; every
// request is scheduled once; when the leader is killed with SIGKILL in the
// middle of a request, the other takes over and finishes that request the
// way a restarted daemon does, once; a leader that loses its lease in the
// middle of a request cuts it short and writes nothing more.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "file_processor.h"
#include "prepax_test_support.h"
#include "ringwell/prepax/speech_engine.h"
#include "ringwell/testing/process.h"
#include "ringwell/testing/wait.h"

namespace ringwell::prepax {
namespace {

using namespace std::chrono_literals;
using ringwell::testing::ChildProcess;
using ringwell::testing::ListDir;
using ringwell::testing::ProgramPath;
using ringwell::testing::WaitUntil;

class SharedInboxTest : public testing::PrepaxTest {
 protected:
  void SetUp() override {
    PrepaxTest::SetUp();
    SetConfigNumber("SharedRoot", 1);
    SetConfigNumber("LeaseSeconds", 10);
    ASSERT_EQ(
        ringwell::testing::RunCapturing({ProgramPath("prepax"), "-RegServer"}, ProgramEnvironment())
            .exit_code,
        0);
  }
  void Start(ChildProcess& daemon, const std::string& expected) {
    ASSERT_TRUE(daemon.Start({ProgramPath("prepax")}, ProgramEnvironment()));
    ASSERT_TRUE(daemon.WaitForLine(expected, 60s)) << daemon.output();
  }
  std::string SubmitText(const std::string& text) {
    auto request = NewRequest({"5551234"});
    AddPart(request.Get(), kel::kelTextMessagePart, text);
    return Submit(request.Get());
  }
  bool Scheduled(const std::vector<std::string>& ids) {
    return WaitUntil([&] {
      for (const auto& id : ids) {
        if (ReportStatus(id) != "Scheduled") return false;
      }
      return true;
    });
  }
  // Scheduled once: its request file in Requests, its one wav beside it,
  // nothing left in Inbox, and "Scheduled" for the report and the recipient.
  void ExpectScheduledOnce(const std::string& id) {
    EXPECT_TRUE(std::filesystem::exists(RequestFile(id))) << id;
    EXPECT_EQ(ListDir(RequestDir(id)).size(), 1u) << id;
    EXPECT_FALSE(std::filesystem::exists(InboxFile(id))) << id;
    EXPECT_EQ(ReportStatus(id), "Scheduled") << id;
    EXPECT_EQ(ReportStatus(id, "5551234"), "Scheduled") << id;
  }
};

TEST_F(SharedInboxTest, OneDaemonLeadsAndTheOtherFinishesTheWorkOfALeaderThatWasKilled) {
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(SubmitText("Request " + std::to_string(i)));
  ChildProcess first, second;
  Start(first, "Prepax leads the shared Inbox");
  Start(second, "Prepax stands by for the shared Inbox");
  EXPECT_TRUE(Scheduled(ids));

  // A long text: the leader is killed while it prepares it.
  std::string text;
  for (int i = 0; i < 60; ++i) text += "The cooling of hall " + std::to_string(i) + " has failed. ";
  const std::string interrupted = SubmitText(text);
  // Killed in the middle: its report made ("Processing"), its speech under
  // way (the request not yet scheduled).
  ASSERT_TRUE(WaitUntil([&] { return ReportStatus(interrupted) == "Processing"; }));
  first.Signal(SIGKILL);
  EXPECT_FALSE(std::filesystem::exists(RequestFile(interrupted)));
  first.Wait(30s);
  ASSERT_TRUE(second.WaitForLine("Prepax leads the shared Inbox", 60s)) << second.output();
  ids.push_back(interrupted);
  for (int i = 0; i < 3; ++i) ids.push_back(SubmitText("Later " + std::to_string(i)));
  EXPECT_TRUE(Scheduled(ids));
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(30s), 0);

  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_EQ(ListDir(root() + "Requests").size(), 2 * ids.size());  // nothing temporary
  for (const auto& id : ids) ExpectScheduledOnce(id);
  EXPECT_TRUE(EventLogEntries().empty());
}

// What the lease's loss does to the processor of the leading daemon: its
// lead is stopped and its speech cut short.
TEST_F(SharedInboxTest, ALeaderThatLosesItsLeaseMidSpeechWritesNothingMore) {
  std::string text;
  while (text.size() < 20000) text += "The cooling of the server room has failed. ";
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kel::kelTextMessagePart, "First part");
  AddPart(request.Get(), kel::kelTextMessagePart, text);
  AddPart(request.Get(), kel::kelTextMessagePart, "Last part");
  const std::string id = Submit(request.Get());
  const auto wavs = [&] {
    std::vector<std::string> made, staged;
    for (const std::string& name : ListDir(RequestDir(id))) {
      if (name.starts_with(".wav")) staged.push_back(name);
      if (name.ends_with(".wav") && name.front() != '.') made.push_back(name);
    }
    return std::pair{made, staged};
  };
  struct Resume {
    ~Resume() { ResumeCutSpeech(); }
  } resume;  // whatever fails below, later tests may speak

  std::stop_source lead;
  std::jthread leader([&] {
    CFileProcessor processor;
    processor.ScanInbox();
    processor.ProcessFiles({}, lead.get_token());
  });
  // In the middle of the long part: the first part's wav made, the second's
  // being written.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto [made, staged] = wavs();
        return made.size() == 1 && !staged.empty();
      },
      60s, 5ms));
  const std::string report = ringwell::testing::ReadFile(ReportFile(id));
  const std::string marker = RequestDir(id) + "/" + kPreprocessingMarker;
  const std::string starts = ringwell::testing::ReadFile(marker);
  lead.request_stop();
  CutSpeechShort();
  leader.join();

  // Nothing more: the report as it was, no new wav, the request still in
  // Inbox and not in Requests.
  EXPECT_EQ(ringwell::testing::ReadFile(ReportFile(id)), report);
  EXPECT_EQ(ReportStatus(id), "Processing");
  EXPECT_EQ(ringwell::testing::ReadFile(marker), starts);  // the start stays counted
  EXPECT_EQ(wavs().first.size(), 1u);
  EXPECT_TRUE(wavs().second.empty());
  EXPECT_TRUE(std::filesystem::exists(InboxFile(id)));
  EXPECT_FALSE(std::filesystem::exists(RequestFile(id)));

  // The next leader prepares it again from the start, and schedules it once.
  ResumeCutSpeech();
  {
    CFileProcessor next;
    next.ScanInbox();
    next.ProcessFiles();
  }
  EXPECT_TRUE(std::filesystem::exists(RequestFile(id)));
  EXPECT_EQ(ListDir(RequestDir(id)).size(), 3u);  // the three parts' wavs, nothing else
  EXPECT_FALSE(std::filesystem::exists(InboxFile(id)));
  EXPECT_EQ(ReportStatus(id), "Scheduled");
  EXPECT_EQ(ReportStatus(id, "5551234"), "Scheduled");
  EXPECT_EQ(ListDir(root() + "Requests").size(), 2u);
}

}  // namespace
}  // namespace ringwell::prepax
