#include "page_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace ringwell::host {
namespace {

std::string Field(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

void PageLog::Append(OleDate time, const std::string& number, const std::string& service,
                     const std::string& request_id, const std::string& status,
                     const std::string& text) {
  if (path_.empty()) return;
  const std::string line = Field(OleDateToIso(time)) + '\t' + Field(number) + '\t' +
                           Field(service) + '\t' + Field(request_id) + '\t' + Field(status) + '\t' +
                           Field(text) + '\n';
  MutexLock lock(mutex_);
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::perror(("ringwell-host: pager log " + path_).c_str());
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace ringwell::host
