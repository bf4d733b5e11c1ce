#include "file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ringwell/common/safe_files.h"

namespace ringwell::api {

HRESULT ReadRegularFile(const std::string& path, std::size_t max_bytes, std::string* content) {
  content->clear();
  UniqueFd fd;
  if (Failed(OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, &fd))) return S_FALSE;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > max_bytes) return S_FALSE;
  content->resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < content->size()) {
    const ssize_t got = ::read(fd.get(), content->data() + done, content->size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return HresultFromErrno(errno);
    if (got == 0) break;  // shorter than it was: what is there
    done += static_cast<std::size_t>(got);
  }
  content->resize(done);
  return S_OK;
}

}  // namespace ringwell::api
