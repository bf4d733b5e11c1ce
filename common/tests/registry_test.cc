#include "ringwell/common/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "ringwell/common/safe_files.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::registry {
namespace {

using testing::ReadFile;
using testing::RingwellTest;
using testing::WriteFile;

constexpr char kConfig[] = "SOFTWARE\\Corvane\\Ringwell";

class RegistryTest : public RingwellTest {};

TEST_F(RegistryTest, KeysAndValuesIgnoreCaseAndKeepTheirType) {
  Key key;
  ASSERT_EQ(Key::Create("SOFTWARE\\Corvane\\Ringwell", &key), S_OK);
  ASSERT_EQ(key.SetDword("AudioFormat", 22), S_OK);
  Key again;
  ASSERT_EQ(Key::Open("software\\CORVANE\\ringwell", &again), S_OK);
  std::uint32_t format = 0;
  EXPECT_EQ(again.QueryDword("audioformat", &format), S_OK);
  EXPECT_EQ(format, 22u);
  std::string text;
  EXPECT_EQ(again.QueryString("AudioFormat", &text), S_OK);
  EXPECT_EQ(text, "22");
  EXPECT_EQ(again.QueryString("Nothing", &text), HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Key::Open("SOFTWARE\\Nobody", &again), HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(ReadFile(OwnDropInPath()).find("[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]"),
            std::string::npos);
}

constexpr char kHandWritten[] =
    "# Our spool, on the big disk.\n"
    "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\n"
    "RootDir = \"/srv/spool/\"   # keep the slash\n"
    "\n"
    "    AudioFormat = 49\n";

TEST_F(RegistryTest, ToolsWriteTheirDropInAndNeverTheHandWrittenFile) {
  DeleteConfigKey();
  WriteFile(registry_path(), kHandWritten);
  {
    const DropInScope scope("libexample");
    Key key;
    ASSERT_EQ(Key::Create("SOFTWARE\\Classes\\Example", &key), S_OK);
    ASSERT_EQ(key.SetString("", "Example Class"), S_OK);
  }
  Key config;
  ASSERT_EQ(Key::Open(kConfig, &config), S_OK);
  ASSERT_EQ(config.SetString("Extra", "x"), S_OK);
  // Setting what the hand-written file already says changes nothing.
  ASSERT_EQ(config.SetDword("AudioFormat", 49), S_OK);

  EXPECT_EQ(ReadFile(registry_path()), kHandWritten);
  std::vector<std::string> drop_ins = {".store.lock", "libexample.toml",
                                       BaseNameOf(OwnDropInPath())};
  std::sort(drop_ins.begin(), drop_ins.end());
  EXPECT_EQ(testing::ListDir(DropInDirectory()), drop_ins);
  std::string value;
  EXPECT_EQ(config.QueryString("RootDir", &value), S_OK);
  EXPECT_EQ(value, "/srv/spool/");
  Key example;
  ASSERT_EQ(Key::Open("software\\classes\\example", &example), S_OK);
  EXPECT_EQ(example.QueryString("", &value), S_OK);
  EXPECT_EQ(value, "Example Class");

  // Unregistering takes the drop-in away once it holds nothing.
  {
    const DropInScope scope("libexample");
    EXPECT_EQ(DeleteKeyTree("SOFTWARE\\Classes\\Example"), S_OK);
  }
  EXPECT_FALSE(FileExists(DropInDirectory() + "libexample.toml"));
  EXPECT_EQ(ReadFile(registry_path()), kHandWritten);
}

TEST_F(RegistryTest, AChangeTheHandWrittenFileHidesIsRefusedAsAWhole) {
  DeleteConfigKey();
  WriteFile(registry_path(), kHandWritten);
  Key config;
  ASSERT_EQ(Key::Open(kConfig, &config), S_OK);
  struct Case {
    const char* name;
    std::function<HRESULT()> change;
  };
  const Case cases[] = {
      {"other value", [&] { return config.SetString("RootDir", "/elsewhere/"); }},
      {"delete value", [&] { return config.DeleteValue("AudioFormat"); }},
      {"delete key", [&] { return DeleteKeyTree(kConfig); }},
      {"two changes, one hidden",
       [&] {
         return Edit([](Tree& tree) {
           tree.Set(kConfig, "Fine", std::string("yes"));
           tree.Set(kConfig, "rootdir", std::string("/elsewhere/"));
         });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.change(), HresultFromWin32(ERROR_ACCESS_DENIED));
    EXPECT_NE(LastProblem().find(registry_path()), std::string::npos) << LastProblem();
    EXPECT_FALSE(FileExists(OwnDropInPath()));
    EXPECT_EQ(ReadFile(registry_path()), kHandWritten);
  }
}

TEST_F(RegistryTest, ParseErrorsNameFileLineAndColumn) {
  DeleteConfigKey();
  struct Case {
    std::string file;
    std::string text;
    std::string where;
  };
  const std::string drop_in = DropInDirectory() + "50-broken.toml";
  const Case cases[] = {
      {registry_path(), "[HKEY_LOCAL_MACHINE]\nRootDir = /var/spool\n", registry_path() + ":2:11:"},
      {registry_path(), "a = 1\n[b\n", registry_path() + ":2:3:"},
      {drop_in, "\n\nx = \"unterminated\n", drop_in + ":3:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::filesystem::remove(registry_path());
    std::filesystem::remove(drop_in);
    std::filesystem::create_directories(DropInDirectory());
    WriteFile(c.file, c.text);
    std::string problem;
    EXPECT_EQ(Check(&problem), HresultFromWin32(ERROR_BADDB));
    EXPECT_EQ(problem.rfind(c.where, 0), 0u) << problem;
    Key key;
    EXPECT_EQ(Key::Create(kConfig, &key), HresultFromWin32(ERROR_BADDB));
    EXPECT_EQ(LastProblem(), problem);
    EXPECT_EQ(ReadFile(c.file), c.text);
  }
}

TEST_F(RegistryTest, ALaterDropInWinsOverAnEarlierOne) {
  DeleteConfigKey();
  std::filesystem::create_directories(DropInDirectory());
  WriteFile(
      DropInDirectory() + "10-first.toml",
      "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\nAudioFormat = 22\nRootDir = \"/a/\"\n");
  WriteFile(DropInDirectory() + "20-second.toml",
            "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\nAudioFormat = 49\n");
  WriteFile(DropInDirectory() + ".20-second.toml.tmp", "not toml [");
  WriteFile(DropInDirectory() + "notes.txt", "not toml [");
  Key key;
  ASSERT_EQ(Key::Open(kConfig, &key), S_OK);
  std::uint32_t format = 0;
  EXPECT_EQ(key.QueryDword("AudioFormat", &format), S_OK);
  EXPECT_EQ(format, 49u);
  std::string root;
  EXPECT_EQ(key.QueryString("RootDir", &root), S_OK);
  EXPECT_EQ(root, "/a/");
}

TEST_F(RegistryTest, StringsLongerThanTheBufferAreRefused) {
  Key key;
  ASSERT_EQ(Key::Create("SOFTWARE\\Test", &key), S_OK);
  ASSERT_EQ(key.SetString("Fits", std::string(511, 'a')), S_OK);
  ASSERT_EQ(key.SetString("TooLong", std::string(512, 'a')), S_OK);
  std::string value;
  EXPECT_EQ(key.QueryString("Fits", &value), S_OK);
  EXPECT_EQ(value.size(), 511u);
  EXPECT_EQ(key.QueryString("TooLong", &value), HresultFromWin32(ERROR_MORE_DATA));
}

TEST_F(RegistryTest, MalformedStoreIsReportedAndNeverOverwritten) {
  WriteFile(registry_path(), "this is [not toml");
  Key key;
  EXPECT_EQ(Key::Open("SOFTWARE\\Corvane\\Ringwell", &key), HresultFromWin32(ERROR_BADDB));
  EXPECT_EQ(Key::Create("SOFTWARE\\Other", &key), HresultFromWin32(ERROR_BADDB));
  EXPECT_EQ(ReadFile(registry_path()), "this is [not toml");
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
  Key key;
  ASSERT_EQ(Key::Create("SOFTWARE\\A\\B\\C", &key), S_OK);
  ASSERT_EQ(key.SetString("", "default"), S_OK);
  std::string value;
  EXPECT_EQ(key.QueryString("", &value), S_OK);
  EXPECT_EQ(value, "default");
  EXPECT_EQ(key.DeleteValue(""), S_OK);
  EXPECT_EQ(key.DeleteValue(""), HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(DeleteKeyTree("SOFTWARE\\A"), S_OK);
  EXPECT_EQ(DeleteKeyTree("SOFTWARE\\A"), S_FALSE);
  EXPECT_EQ(Key::Open("SOFTWARE\\A\\B", &key), HresultFromWin32(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kValues = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      Key key;
      ASSERT_EQ(Key::Create("SOFTWARE\\Concurrent", &key), S_OK);
      for (int i = 0; i < kValues; ++i) {
        ASSERT_EQ(key.SetDword("v" + std::to_string(t) + "_" + std::to_string(i),
                               static_cast<std::uint32_t>(i)),
                  S_OK);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  int found = 0;
  ASSERT_EQ(Read([&](const Tree& tree) {
              for (int t = 0; t < kThreads; ++t) {
                for (int i = 0; i < kValues; ++i) {
                  found += tree.Query("SOFTWARE\\Concurrent",
                                      "v" + std::to_string(t) + "_" + std::to_string(i))
                               .has_value();
                }
              }
            }),
            S_OK);
  EXPECT_EQ(found, kThreads * kValues);
}

}  // namespace
}  // namespace ringwell::registry
