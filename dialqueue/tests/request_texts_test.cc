#include "request_texts.h"

#include <filesystem>
#include <thread>
#include <vector>

#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::WriteFile;

class RequestTextsTest : public SchedulerTest {
 protected:
  std::string Path() const { return root() + "Requests/{A}.xml"; }
  // Writes `content` under another name and renames it into place, as the
  // preprocessing daemon does.
  void Replace(const std::string& content) const {
    WriteFile(Path() + ".new", content);
    fs::rename(Path() + ".new", Path());
  }
  RequestTexts texts_;
};

TEST_F(RequestTextsTest, TheLinesShareOneTextOfTheLoadedRequest) {
  WriteFile(Path(), "<Request ID=\"{A}\">\n  <NumberOfRings>5</NumberOfRings></Request>");
  std::vector<std::shared_ptr<const std::string>> got(8);
  {
    std::vector<std::jthread> lines;
    for (auto& text : got) lines.emplace_back([&] { EXPECT_EQ(texts_.Get(Path(), &text), S_OK); });
  }
  ASSERT_TRUE(got[0]);
  // The document written back out (white space between elements is not
  // kept), as the device is to receive it.
  EXPECT_EQ(*got[0], "<Request ID=\"{A}\"><NumberOfRings>5</NumberOfRings></Request>");
  for (const auto& text : got) EXPECT_EQ(text.get(), got[0].get());
  EXPECT_EQ(texts_.size(), 1u);
}

TEST_F(RequestTextsTest, AReplacedOrChangedFileIsReadAgain) {
  WriteFile(Path(), "<Request><CallTree>old</CallTree></Request>");
  std::shared_ptr<const std::string> first;
  ASSERT_EQ(texts_.Get(Path(), &first), S_OK);
  Replace("<Request><CallTree>new</CallTree></Request>");
  std::shared_ptr<const std::string> second;
  ASSERT_EQ(texts_.Get(Path(), &second), S_OK);
  EXPECT_EQ(*second, "<Request><CallTree>new</CallTree></Request>");
  EXPECT_EQ(*first, "<Request><CallTree>old</CallTree></Request>");  // still the caller's
  // Written in place with a length of its own.
  WriteFile(Path(), "<Request><CallTree>newer</CallTree></Request>");
  ASSERT_EQ(texts_.Get(Path(), &second), S_OK);
  EXPECT_EQ(*second, "<Request><CallTree>newer</CallTree></Request>");
}

TEST_F(RequestTextsTest, AGoneOrBrokenFileGivesFalseAndIsForgotten) {
  WriteFile(Path(), "<Request/>");
  std::shared_ptr<const std::string> text;
  ASSERT_EQ(texts_.Get(Path(), &text), S_OK);
  fs::remove(Path());
  EXPECT_EQ(texts_.Get(Path(), &text), S_FALSE);
  EXPECT_FALSE(text);
  EXPECT_EQ(texts_.size(), 0u);

  Replace("<Request><unclosed></Request>");
  EXPECT_EQ(texts_.Get(Path(), &text), S_FALSE);
  EXPECT_EQ(texts_.size(), 0u);
}

TEST_F(RequestTextsTest, ForgetLetsGoOfTheTextButNotOfWhatACallerHolds) {
  WriteFile(Path(), "<Request/>");
  std::shared_ptr<const std::string> held;
  ASSERT_EQ(texts_.Get(Path(), &held), S_OK);
  texts_.Forget(Path());
  EXPECT_EQ(texts_.size(), 0u);
  EXPECT_EQ(*held, "<Request/>");
  std::shared_ptr<const std::string> again;
  ASSERT_EQ(texts_.Get(Path(), &again), S_OK);
  EXPECT_NE(again.get(), held.get());
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
