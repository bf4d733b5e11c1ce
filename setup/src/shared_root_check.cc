#include "shared_root_check.h"

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ringwell/common/directory_lock.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell::setup {
namespace {

constexpr long kFuseMagic = 0x65735546;
constexpr long kNfsMagic = 0x6969;
constexpr long kCephMagic = 0x00C36400;

struct Mount {
  std::string point, type, options;
};

// The mount that holds `path` (the longest mount point above it).
Mount MountOf(const std::string& path) {
  Mount found;
  std::ifstream mounts("/proc/self/mounts");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    Mount mount;
    std::string device;
    fields >> device >> mount.point >> mount.type >> mount.options;
    const std::string point = mount.point == "/" ? "/" : mount.point + "/";
    if (path.starts_with(point) &&
        (found.point.empty() || mount.point.size() >= found.point.size())) {
      found = mount;
    }
  }
  return found;
}

bool HasOption(const std::string& options, const std::string& option) {
  return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

// The command line of the GlusterFS client serving `point`, its arguments
// joined by blanks; empty when none is found.
std::string GlusterClientOf(const std::string& point) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (raw.find("glusterfs") == std::string::npos) continue;
    std::vector<std::string> args;
    for (std::size_t start = 0; start < raw.size();) {
      const std::size_t end = raw.find('\0', start);
      args.push_back(raw.substr(start, end - start));
      start = end == std::string::npos ? raw.size() : end + 1;
    }
    if (args.empty() || args.back() != point) continue;
    std::string joined;
    for (const std::string& arg : args) joined += arg + " ";
    return joined;
  }
  return "";
}

bool TryLock(int fd, std::int64_t offset) { return SetByteLock(fd, F_WRLCK, offset, false); }

}  // namespace

std::vector<Problem> CheckSharedRoot(const std::string& root, bool shared_setting,
                                     std::vector<std::string>* notes) {
  std::vector<Problem> problems;
  if (root.empty()) return problems;
  struct statfs fs {};
  if (::statfs(root.c_str(), &fs) != 0) return problems;  // told by the other checks
  const Mount mount = MountOf(root);
  const long magic = static_cast<long>(fs.f_type);
  std::string kind;
  if (magic == kFuseMagic) kind = mount.type == "fuse.glusterfs" ? "GlusterFS" : "FUSE";
  if (magic == kNfsMagic) kind = "NFS";
  if (magic == kCephMagic) kind = "CephFS";
  if (kind.empty()) {
    if (shared_setting) {
      notes->push_back("SharedRoot = 1, but the storage root " + root +
                       " is on a local file system (" + mount.type +
                       "): no other box can share it");
    }
  } else {
    notes->push_back("the storage root " + root + " is on " + kind + " (" + mount.point +
                     ", a root several boxes can share); SharedRoot is " +
                     (shared_setting ? "1" : "not set: this host calls every recipient itself"));
  }
  if (kind == "NFS") {
    const bool v41 = HasOption(mount.options, "vers=4.1") || HasOption(mount.options, "vers=4.2");
    if (!v41) {
      problems.push_back({"the storage root " + root + " is mounted as " + mount.type +
                              " without vers=4.1 or 4.2: its locks are not leases the server "
                              "takes back from a dead box",
                          "mount it with -t nfs4 -o vers=4.2"});
    }
    if (HasOption(mount.options, "local_lock=all") ||
        HasOption(mount.options, "local_lock=posix") || HasOption(mount.options, "nolock")) {
      problems.push_back({"the storage root " + root +
                              " is mounted with locks kept on this box only: other boxes do not "
                              "see them",
                          "mount it without nolock and local_lock"});
    }
    if (HasOption(mount.options, "nocto")) {
      problems.push_back({"the storage root " + root +
                              " is mounted with nocto: a box may read a report another box "
                              "replaced",
                          "mount it without nocto"});
    }
  }
  if (kind == "GlusterFS") {
    const std::string client = GlusterClientOf(mount.point);
    if (!client.empty() && (client.find("--attribute-timeout=0") == std::string::npos ||
                            client.find("--entry-timeout=0") == std::string::npos)) {
      problems.push_back({"the storage root " + root +
                              " is mounted with the client's attribute and entry caches: a box "
                              "may read a report another box replaced and lose its changes",
                          "mount it with -o attribute-timeout=0,entry-timeout=0,"
                          "negative-timeout=0"});
    }
  }
  if (!kind.empty() || shared_setting) {
    // Two descriptors stand for two boxes: a lock through one must be refused
    // through the other. The byte lies beyond those that shares use.
    const std::string path = root + "Requests/.owners";
    constexpr int kFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    UniqueFd one(::open(path.c_str(), kFlags, 0666));
    UniqueFd two(::open(path.c_str(), kFlags, 0666));
    constexpr std::int64_t kProbeOffset = (std::int64_t{1} << 47) + 1;
    if (one.get() < 0 || two.get() < 0) {
      problems.push_back({"the lock file " + path + " cannot be opened: " + std::strerror(errno),
                          "ringwell-setup (it makes the storage root's directories)"});
    } else if (!TryLock(one.get(), kProbeOffset)) {
      problems.push_back(
          {"byte-range locks do not work on the storage root " + root + ": " + std::strerror(errno),
           "mount it so that POSIX locks reach the file server"});
    } else if (TryLock(two.get(), kProbeOffset)) {
      problems.push_back({"a lock on " + path +
                              " taken through one descriptor was granted through another: the "
                              "hosts could take the same share",
                          "use a file system whose byte-range locks are honoured (GlusterFS, "
                          "NFSv4.1+, CephFS)"});
    } else {
      notes->push_back("a lock on " + path +
                       " taken through one descriptor is refused through another, as shares "
                       "need (locks across boxes are tried by scripts/test-scale-out)");
    }
  }
  if (shared_setting) {
    notes->push_back("this box takes shares as host " + ReadSharedRootSettings().host_id +
                     " (HostId in the registry or ringwell-host --host-id NAME to choose "
                     "another; each box's must differ)");
  }
  return problems;
}

}  // namespace ringwell::setup
