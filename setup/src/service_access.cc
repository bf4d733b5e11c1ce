// ringwell-setup --check, run as root, on the user the services run as: root
// may write everywhere, so what the daemon and the host may do is tested in a
// child process that takes on that user's ids (uid, gid and groups) and asks
// the kernel for each directory (faccessat with AT_EACCESS).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "doctor.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/status_file.h"
#include "ringwell/common/storage.h"
#include "setup_steps.h"

namespace ringwell::setup {
namespace {

struct ServiceUser {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  std::string source;  // "the running prepax (pid 4711)", "User= of /lib/.../prepax.service"
};

std::string UserName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

// The ids of the running daemon of this root, from /proc.
std::optional<ServiceUser> RunningUser(const std::string& root) {
  std::string why;
  // This box's daemon: on a shared root, the file of its own HostId.
  const SharedRootSettings shared = ReadSharedRootSettings();
  const auto reading =
      status_file::Read(root, "prepax", &why, shared.on ? shared.host_id : std::string());
  if (!reading || !status_file::SeenWorking(*reading, std::chrono::seconds(10), &why)) {
    return std::nullopt;
  }
  const long pid = reading->content.value("pid", 0L);
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  ServiceUser user;
  bool uid = false, gid = false;
  for (std::string line; std::getline(status, line);) {
    std::istringstream fields(line.substr(line.find(':') + 1));
    unsigned long real = 0, effective = 0;
    if (line.rfind("Uid:", 0) == 0 && (fields >> real >> effective)) {
      user.uid = static_cast<uid_t>(effective);
      uid = true;
    } else if (line.rfind("Gid:", 0) == 0 && (fields >> real >> effective)) {
      user.gid = static_cast<gid_t>(effective);
      gid = true;
    } else if (line.rfind("Groups:", 0) == 0) {
      for (unsigned long group = 0; fields >> group;) user.groups.push_back(group);
    }
  }
  if (!uid || !gid) return std::nullopt;
  user.name = UserName(user.uid);
  user.source = "as the running prepax (pid " + std::to_string(pid) + ")";
  return user;
}

// User= and Group= of the daemon's unit: the one ringwell-setup --systemd
// writes, else the package's.
std::optional<ServiceUser> UnitUser() {
  for (const std::string& unit : {UnitDirectory() + "prepax.service", PackagedUnit()}) {
    std::ifstream file(unit);
    if (unit.empty() || !file) continue;
    std::string user_name, group_name;
    for (std::string line; std::getline(file, line);) {
      if (line.rfind("User=", 0) == 0) user_name = line.substr(5);
      if (line.rfind("Group=", 0) == 0) group_name = line.substr(6);
    }
    if (user_name.empty()) return std::nullopt;  // the unit runs as root
    const passwd* entry = ::getpwnam(user_name.c_str());
    if (entry == nullptr) return std::nullopt;  // told by the service manager
    ServiceUser user;
    user.name = user_name;
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    if (!group_name.empty()) {
      if (const group* g = ::getgrnam(group_name.c_str())) user.gid = g->gr_gid;
    }
    int count = 64;
    user.groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(user_name.c_str(), user.gid, user.groups.data(), &count) < 0) {
      user.groups.resize(static_cast<std::size_t>(count));
      ::getgrouplist(user_name.c_str(), user.gid, user.groups.data(), &count);
    }
    user.groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    user.source = "as User= of " + unit + " says";
    return user;
  }
  return std::nullopt;
}

// The errno of faccessat(path, mode) for `user` per path (0: allowed), from a
// child process that has taken on the user's ids; nullopt when that fails.
std::optional<std::vector<int>> AccessAs(const ServiceUser& user,
                                         const std::vector<std::pair<std::string, int>>& paths) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    // Only system calls from here on: the parent may have threads.
    if (::setgroups(user.groups.size(), user.groups.data()) != 0 || ::setgid(user.gid) != 0 ||
        ::setuid(user.uid) != 0) {
      ::_exit(1);
    }
    for (const auto& [path, mode] : paths) {
      const int result = ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
      if (::write(pipe_fds[1], &result, sizeof result) != sizeof result) ::_exit(1);
    }
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::vector<int> results(paths.size(), 0);
  const ssize_t want = static_cast<ssize_t>(results.size() * sizeof(int));
  ssize_t got = 0;
  while (got < want) {
    const ssize_t n =
        ::read(pipe_fds[0], reinterpret_cast<char*>(results.data()) + got, want - got);
    if (n <= 0) break;
    got += n;
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (got != want || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return results;
}

std::string GroupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

}  // namespace

std::vector<Problem> CheckServiceAccess(const std::string& root, std::vector<std::string>* notes) {
  if (::geteuid() != 0 || root.empty()) return {};
  std::optional<ServiceUser> user = RunningUser(root);
  if (!user) user = UnitUser();
  if (!user || user->uid == 0) return {};
  const StorageLayout layout{root};
  std::vector<std::pair<std::string, int>> paths = {{root, R_OK | X_OK}};
  for (const std::string& dir : {layout.InboxDir(), layout.RequestsDir(), layout.ReportsDir(),
                                 layout.UserFilesDir(kToolkitUserId), root + kStatusDir + "/"}) {
    paths.emplace_back(dir.substr(0, dir.size() - 1), R_OK | W_OK | X_OK);
  }
  const auto results = AccessAs(*user, paths);
  if (!results) {
    return {{"cannot test the storage root as the service user " + user->name,
             "run ringwell-setup --check as " + user->name}};
  }
  notes->push_back("tested the storage root as the service user " + user->name + " (uid " +
                   std::to_string(user->uid) + ", " + user->source + ")");
  std::vector<Problem> problems;
  struct stat st {};
  const bool in_group =
      ::stat(root.c_str(), &st) == 0 &&
      (user->gid == st.st_gid ||
       std::find(user->groups.begin(), user->groups.end(), st.st_gid) != user->groups.end());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const int error = (*results)[i];
    if (error == 0 || error == ENOENT) continue;  // a missing directory is told already
    const bool writable = (paths[i].second & W_OK) != 0;
    problems.push_back(
        {(i == 0 ? "the storage root " : "the directory ") + paths[i].first + " is not " +
             (writable ? "writable" : "readable") + " for the service user " + user->name + " (" +
             user->source + "): " + std::strerror(error),
         in_group
             ? SetupCommand(root) + ", which gives the storage root back to its group and modes"
             : "adduser " + user->name + " " + GroupName(st.st_gid) +
                   " (as root), then restart prepax and ringwell-host",
         Concern::kAccess});
  }
  return problems;
}

}  // namespace ringwell::setup
