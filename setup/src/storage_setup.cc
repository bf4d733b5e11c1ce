// The storage root and its subdirectories, as ringwell-setup makes them: the
// root readable by everyone, the subdirectories only by the owner and the
// spool's group, whose members may therefore submit requests, store files and
// read reports; the set-group-ID bit keeps new files in the group.
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "setup_steps.h"

extern char** environ;

namespace ringwell::setup {
namespace {

constexpr mode_t kRootMode = 0755;
constexpr mode_t kSpoolMode = 02770;

std::optional<gid_t> GroupId(const std::string& name) {
  if (const group* entry = ::getgrnam(name.c_str())) return entry->gr_gid;
  return std::nullopt;
}

// The group, made (as a system group) when it is missing and this is root.
std::optional<gid_t> EnsureGroup(const std::string& name) {
  if (auto gid = GroupId(name)) return gid;
  if (::geteuid() != 0) {
    Refuse("the group " + name + " does not exist and only root can make it; give --group");
    return std::nullopt;
  }
  std::string program = "groupadd";
  std::string system = "--system";
  char* argv[] = {program.data(), system.data(), const_cast<char*>(name.c_str()), nullptr};
  pid_t pid = 0;
  int status = 0;
  if (posix_spawnp(&pid, "groupadd", nullptr, nullptr, argv, environ) != 0 ||
      ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Refuse("cannot make the group " + name + " (groupadd failed)");
    return std::nullopt;
  }
  Say("made the group " + name);
  return GroupId(name);
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Makes `path` a directory with `mode` in group `gid`, changing only what
// differs.
bool MakeDirectory(const std::string& path, mode_t mode, gid_t gid, const std::string& group) {
  struct stat st {};
  std::vector<std::string> done;
  if (::lstat(path.c_str(), &st) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (::mkdir(path.c_str(), mode) != 0 || ::lstat(path.c_str(), &st) != 0) {
      return Refuse("cannot make " + path + ": " + std::strerror(errno));
    }
    done.push_back("made");
  }
  if (!S_ISDIR(st.st_mode)) return Refuse(path + " exists and is not a directory");
  if (st.st_gid != gid) {
    if (::chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0) {
      return Refuse("cannot give " + path + " to the group " + group + ": " + std::strerror(errno) +
                    "; run ringwell-setup as root");
    }
    done.push_back("gave to the group " + group);
  }
  // chmod after chown: a change of group clears the set-group-ID bit.
  if ((st.st_mode & 07777) != mode || !done.empty()) {
    if (::chmod(path.c_str(), mode) != 0) {
      return Refuse("cannot set the mode of " + path + ": " + std::strerror(errno));
    }
    if ((st.st_mode & 07777) != mode && done.empty()) done.push_back("set the mode of");
  }
  std::string line;
  for (const std::string& step : done) line += (line.empty() ? "" : ", ") + step;
  Say((line.empty() ? std::string("kept") : line) + " " + path + " (group " + group + ", mode " +
      ModeText(mode) + ")");
  return true;
}

}  // namespace

bool MakeStorage(const SetupOptions& options) {
  const std::optional<gid_t> gid = EnsureGroup(options.group);
  if (!gid) return false;
  const StorageLayout layout{options.root};
  if (!MakeDirectory(options.root.substr(0, options.root.size() - 1), kRootMode, *gid,
                     options.group)) {
    return false;
  }
  // Status holds the heartbeats of the daemon and the host, Events the HTTP
  // API's event journals.
  for (const std::string& dir :
       {layout.InboxDir(), layout.RequestsDir(), layout.ReportsDir(), layout.FilesDir(),
        layout.UserFilesDir(kToolkitUserId), options.root + kStatusDir + "/",
        options.root + kEventsDir + "/"}) {
    if (!MakeDirectory(dir.substr(0, dir.size() - 1), kSpoolMode, *gid, options.group))
      return false;
  }
  return true;
}

}  // namespace ringwell::setup
