#include "self_check.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "alert_routes.h"
#include "oncall_host.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "token_file.h"

namespace ringwell::api {
namespace {

constexpr char kServiceUser[] = "ringwell";

// Whether something accepts a connection on "host:port" within a second.
bool Answers(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  if (host.empty() || host == "*" || host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), address.substr(colon + 1).c_str(), &hints, &found) != 0) {
    return false;
  }
  bool answered = false;
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    if (::connect(fd, found->ai_addr, found->ai_addrlen) == 0) {
      answered = true;
    } else if (errno == EINPROGRESS) {
      pollfd wait{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      answered = ::poll(&wait, 1, 1000) == 1 &&
                 ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return answered;
}

bool UnitEnabled() {
  for (const char* dir : {"/etc/systemd/system/multi-user.target.wants/",
                          "/lib/systemd/system/multi-user.target.wants/"}) {
    if (FileExists(std::string(dir) + "ringwell-api.service")) return true;
  }
  return false;
}

void CheckReadable(const std::string& path, const char* what, std::vector<CheckProblem>* problems) {
  std::string text;
  if (const HRESULT hr = ReadWholeFile(path, &text); Failed(hr)) {
    problems->push_back(
        {std::string("the ") + what + " " + path + " cannot be read: " + ErrorText(hr),
         "correct the path in the registry, or make it readable"});
  }
}

}  // namespace

std::vector<CheckProblem> CheckInstallation(const Options& options) {
  std::vector<CheckProblem> problems;
  std::vector<StoredToken> tokens;
  std::string problem;
  const std::string& path = options.token_file;
  // The file is the service user's alone (mode 600): a member of the group
  // checking the installation cannot read it, and that is as it should be.
  const bool ours_to_read = ::access(path.c_str(), R_OK) == 0 || errno != EACCES;
  if (ours_to_read && !LoadTokens(path, &tokens, &problem)) {
    problems.push_back({"the API's token file: " + problem, "chmod 600 " + path});
  }
  struct stat status {};
  const passwd* service = ::getpwnam(kServiceUser);
  if (::stat(path.c_str(), &status) == 0 && service != nullptr &&
      status.st_uid != service->pw_uid) {
    const passwd* owner = ::getpwuid(status.st_uid);
    problems.push_back({"the API's token file " + path + " belongs to " +
                            (owner != nullptr ? owner->pw_name : std::to_string(status.st_uid)) +
                            ": the service user " + kServiceUser + " cannot read it",
                        "chown " + std::string(kServiceUser) + " " + path});
  }
  if (options.tls_certificate.empty() != options.tls_key.empty()) {
    problems.push_back({"the API has only one of TlsCertificate and TlsKey",
                        "set both in [HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell.Api]"});
  } else if (!options.tls_certificate.empty()) {
    CheckReadable(options.tls_certificate, "TLS certificate", &problems);
    CheckReadable(options.tls_key, "TLS key", &problems);
  }
  if (::stat(options.callback_secret_file.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
    problems.push_back({"the callback secret " + options.callback_secret_file +
                            " may be read by others than its owner",
                        "chmod 600 " + options.callback_secret_file});
  }
  try {
    const bool given = !options.alert_routes_file.empty();
    const std::string routes_path = given ? options.alert_routes_file : kDefaultAlertRoutesFile;
    ReadOnCallTables(routes_path, given, ReadAlertRoutes(routes_path, given));
  } catch (const std::exception& e) {
    problems.push_back({std::string("the alert routes: ") + e.what(),
                        "correct the file (man ringwell-api, ALERT ROUTES)"});
  }
  // Only an API in use must answer.
  if (FileExists(path) || UnitEnabled()) {
    for (const std::string& address : options.listen) {
      if (!Answers(address)) {
        problems.push_back(
            {"ringwell-api is not listening on " + address,
             "systemctl enable --now ringwell-api (see journalctl -u ringwell-api)"});
      }
    }
  }
  return problems;
}

}  // namespace ringwell::api
