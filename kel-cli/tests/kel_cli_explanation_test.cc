// What kel says when it cannot do what it was asked: the cause, where it is
// and the command that fixes it, never a code from deep inside the toolkit.
#include <unistd.h>

#include <filesystem>

#include "kel_cli_fixture.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"

namespace ringwell::kel::cli {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::ListDir;
using ringwell::testing::WriteFile;
using testing::KelCliTest;

// Installed, no toolkit sits beside kel: only the registered one can be used.
constexpr char kInstalled[] = "RINGWELL_KEL_LIBRARY=/nonexistent/libkel.so";

TEST_F(KelCliTest, ABrokenRegistryIsNamedWithItsFix) {
  std::string output;
  WriteFile(registry_path(), "[HKEY_LOCAL_MACHINE\nRootDir = 1\n");
  for (const char* command : {"ls", "submit --to 5551234 --say x"}) {
    EXPECT_EQ(Kel(command, &output, kInstalled), 1) << command;
    EXPECT_NE(output.find(registry_path() + ":1:"), std::string::npos) << output;
    EXPECT_NE(output.find("to fix: correct that line of " + registry_path()), std::string::npos)
        << output;
    EXPECT_EQ(output.find("Class not registered"), std::string::npos) << output;
  }
  fs::remove(registry_path());
  fs::remove_all(registry::DropInDirectory());
  for (const char* command : {"ls", "submit --to 5551234 --say x"}) {
    EXPECT_EQ(Kel(command, &output, kInstalled), 1) << command;
    EXPECT_EQ(output, "kel: there is no registry: " + registry_path() +
                          " does not exist; to fix: ringwell-setup (as root; with --root DIR for "
                          "another storage root than /var/spool/ringwell/)\n");
  }
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
}

TEST_F(KelCliTest, AStorageRootThatDoesNotExistIsNamed) {
  const std::string gone = scratch() + "gone/";
  SetConfigString(kRootDirValue, gone);
  std::string output;
  for (const char* command : {"ls", "submit --to 5551234 --say x", "report {0}"}) {
    EXPECT_EQ(Kel(command, &output), 1) << command;
    EXPECT_EQ(output, "kel: the storage root " + gone +
                          " does not exist; to fix: ringwell-setup (as root)\n")
        << command;
  }
  // Given on the command line, it is named the same way.
  EXPECT_EQ(Kel("--root " + gone + " ls", &output), 1);
  EXPECT_EQ(output, "kel: the storage root " + gone +
                        " does not exist; to fix: ringwell-setup (as root)\n");
}

// A misspelt zone would move every window: kel refuses it, naming it.
TEST_F(KelCliTest, AnUnknownTimeZoneIsRefused) {
  SetConfigString("TimeZone", "Europe/Berln");
  std::string output;
  for (const char* command : {"ls", "submit --to 5551234 --say x --from +1h --until +2h"}) {
    EXPECT_EQ(Kel(command, &output), 1) << command;
    EXPECT_NE(output.find("the time zone \"Europe/Berln\" (TimeZone under "), std::string::npos)
        << output;
    EXPECT_NE(output.find("is unknown"), std::string::npos) << output;
  }
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  SetConfigString("TimeZone", "Europe/Berlin");
  EXPECT_EQ(Kel("ls", &output), 0) << output;
}

// The spool belongs to a group this user is not in: the report exists, and
// kel says why it cannot be read and how to be let in.
TEST_F(KelCliTest, ANonMemberIsToldHowToJoinTheGroup) {
  const std::string id = Submitted();
  constexpr gid_t kOtherGroup = 65534;
  constexpr uid_t kOtherUser = 65534;
  for (const char* dir : {"Inbox", "Requests", "Reports"}) {
    ASSERT_EQ(::chown((root() + dir).c_str(), kOtherUser, kOtherGroup), 0);
    fs::permissions(root() + dir, fs::perms(0770));
  }
  std::string output;
  EXPECT_EQ(Kel("report " + id, &output, {}, /*enforce_permissions=*/true), 1);
  EXPECT_EQ(output.find("there is no report"), std::string::npos) << output;
  EXPECT_NE(output.find("the report of " + id + " cannot be read by this user"), std::string::npos)
      << output;
  EXPECT_NE(output.find("adduser "), std::string::npos) << output;
  EXPECT_NE(output.find(" nogroup "), std::string::npos) << output;
}

}  // namespace
}  // namespace ringwell::kel::cli
