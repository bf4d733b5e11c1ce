#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "ringwell/common/files.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::wavshift {
namespace {

// Reports message `id` with `insertion`, then fails the step with E_FAIL,
// carrying `reason` for the generic entry.
[[noreturn]] void FailStep(const ErrorReporter& reporter, std::uint32_t id,
                           const std::string& insertion, const std::string& reason) {
  reporter.OneString(id, insertion, E_FAIL, LogFlag::kYes);
  audio::ThrowWithReason(E_FAIL, reason);
}

std::string SystemText(int err) { return ErrorText(HresultFromErrno(err)); }

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies everything from `from` into `to`; on failure returns false with
// errno set.
bool CopyContent(int from, int to) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n))) return false;
  }
}

}  // namespace

TempOutput::TempOutput(const ErrorReporter& reporter) {
  const std::string dir = TempDirectory();
  if (!IsDirectory(dir)) {
    FailStep(reporter, wavshift_msg::kErrorIn, "::GetTempPath() failed.",
             "The temporary directory " + dir + " does not exist.");
  }
  std::string placeholder;
  if (HRESULT hr = MakeUniqueFile(dir, "wav", ".tmp", &placeholder); Failed(hr)) {
    FailStep(reporter, wavshift_msg::kErrorIn, "::GetTempFile() failed.",
             "No temporary file can be made in " + dir + ": " + ErrorText(hr));
  }
  if (::unlink(placeholder.c_str()) != 0) {
    FailStep(reporter, wavshift_msg::kDeleteFileFailed, placeholder,
             "The placeholder " + placeholder + " cannot be deleted: " + SystemText(errno));
  }
  path_ = placeholder.substr(0, placeholder.size() - 3) + "wav";
}

TempOutput::~TempOutput() {
  if (created_) ::unlink(path_.c_str());
}

void ReplaceWithCopy(const ErrorReporter& reporter, const std::string& output,
                     const std::string& target) {
  const std::string copy_insertion = output + ", " + target;
  struct stat original {};
  const bool known = ::stat(target.c_str(), &original) == 0;

  const int from = ::open(output.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) {
    FailStep(reporter, wavshift_msg::kCopyFileFailed, copy_insertion,
             "The converted file cannot be read: " + SystemText(errno));
  }
  std::string staged;
  int to = -1;
  try {
    to = audio::CreateFileBeside(target, 0600, &staged);
  } catch (const ComError& e) {
    ::close(from);
    FailStep(reporter, wavshift_msg::kCopyFileFailed, copy_insertion,
             "No file can be made beside " + target + ": " + e.Text());
  }
  bool copied = CopyContent(from, to);
  int err = errno;
  ::close(from);
  if (copied && known) {
    ::fchmod(to, original.st_mode & 0777);
    // Keep the owner where this process may (running as root); else it stays
    // the process's own.
    [[maybe_unused]] int ignored = ::fchown(to, original.st_uid, original.st_gid);
  }
  if (copied && ::fsync(to) != 0) {
    copied = false;
    err = errno;
  }
  if (::close(to) != 0 && copied) {
    copied = false;
    err = errno;
  }
  if (!copied) {
    ::unlink(staged.c_str());
    FailStep(reporter, wavshift_msg::kCopyFileFailed, copy_insertion,
             "Copying the converted file failed: " + SystemText(err));
  }
  if (::rename(staged.c_str(), target.c_str()) != 0) {
    err = errno;
    ::unlink(staged.c_str());
    FailStep(reporter, wavshift_msg::kMoveFileFailed, staged + ", " + target,
             "The converted file cannot be renamed over " + target + ": " + SystemText(err));
  }
}

}  // namespace ringwell::wavshift
