#include "ringwell/common/registry.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ringwell/testing/fixture.h"

namespace ringwell::registry {
namespace {

using testing::ReadFile;
using testing::RingwellTest;
using testing::WriteFile;

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
  EXPECT_NE(ReadFile(registry_path()).find("[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]"),
            std::string::npos);
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
