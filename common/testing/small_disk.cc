#include "ringwell/testing/small_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace ringwell::testing {
namespace fs = std::filesystem;

namespace {

constexpr char kFillerPrefix[] = ".filler";

}  // namespace

SmallDisk::~SmallDisk() {
  if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
}

bool SmallDisk::Mount(const std::string& dir, std::uint64_t bytes, std::string* why) {
  dir_ = dir;
  if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
  if (::geteuid() != 0) {
    *why = "mounting a tmpfs needs root";
    return false;
  }
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    *why = std::string("cannot mount a tmpfs on ") + dir_ + ": " + std::strerror(errno);
    return false;
  }
  mounted_ = true;
  for (const char* sub : {"Inbox", "Requests", "Reports", "Events", "Status", "Files/{0}"}) {
    fs::create_directories(dir_ + sub);
  }
  return true;
}

std::uint64_t SmallDisk::FreeBytes() const {
  struct statvfs st {};
  if (::statvfs(dir_.c_str(), &st) != 0) return 0;
  return std::uint64_t{st.f_bavail} * st.f_frsize;
}

void SmallDisk::Fill(std::uint64_t leave) {
  // Several files: the last bytes of a tmpfs go in pages, and a write that
  // fails part way keeps what it wrote.
  std::vector<char> block(64 * 1024, 'x');
  for (std::size_t size = block.size(); size >= 512 && FreeBytes() > leave; size /= 2) {
    const std::string path = dir_ + kFillerPrefix + std::to_string(filler_count_++);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) break;
    while (FreeBytes() > leave) {
      const std::uint64_t room = FreeBytes() - leave;
      const std::size_t chunk = room < size ? static_cast<std::size_t>(room) : size;
      if (::write(fd, block.data(), chunk) <= 0) break;
    }
    ::close(fd);
  }
}

void SmallDisk::Free() {
  for (int i = 0; i < filler_count_; ++i) {
    ::unlink((dir_ + kFillerPrefix + std::to_string(i)).c_str());
  }
  filler_count_ = 0;
}

}  // namespace ringwell::testing
