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
#include "installation_paths.h"
#include "oncall_host.h"
#include "ringwell/common/disk_space.h"
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

std::vector<CheckProblem> CheckInstallation(const Options& options,
                                            std::vector<std::string>* checked) {
  std::vector<CheckProblem> problems;
  std::vector<std::string> well;
  std::vector<StoredToken> tokens;
  std::string problem;
  const std::string& path = options.token_file;
  const passwd* service = ::getpwnam(kServiceUser);
  // The file is the service user's alone (mode 600): a member of the group
  // checking the installation cannot read it, and that is as it should be.
  // Without that user (a build tree), whoever checks runs the API too.
  const bool readable = ::access(path.c_str(), R_OK) == 0;
  const bool ours_to_read = readable || errno != EACCES || service == nullptr;
  // The package's folder, /var/lib/ringwell, is missing where the package
  // is not installed: a problem only for an API in use or a file named.
  const Options defaults;
  const bool in_use = UnitEnabled() || path != defaults.token_file;
  if (const std::string missing = MissingFolder(path, "token file"); !missing.empty()) {
    if (in_use) {
      problems.push_back({missing + ": no token can be made or read",
                          "make that folder (the package makes /var/lib/ringwell), give --root "
                          "DIR to keep it in DIR, or name another with --tokens FILE or "
                          "TokenFile"});
    }
  } else if (ours_to_read && !LoadTokens(path, &tokens, &problem)) {
    problems.push_back({"the API's token file: " + problem,
                        "chmod 600 " + path + " and chown it to the user that runs ringwell-api"});
  } else if (ours_to_read) {
    well.push_back("the token file " + path + " (" + std::to_string(tokens.size()) + " token" +
                   (tokens.size() == 1 ? "" : "s") + ")");
  } else {
    well.push_back("the token file " + path + " (the service user's alone)");
  }
  struct stat status {};
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
  const std::string& secret = options.callback_secret_file;
  if (::stat(secret.c_str(), &status) == 0) {
    if ((status.st_mode & 077) != 0) {
      problems.push_back({"the callback secret " + secret + " may be read by others than its owner",
                          "chmod 600 " + secret});
    } else {
      well.push_back("the callback secret " + secret);
    }
  } else if (const std::string missing = MissingFolder(secret, "callback secret");
             !missing.empty()) {
    if (UnitEnabled() || secret != defaults.callback_secret_file) {
      problems.push_back({missing + ": the callback secret cannot be made",
                          "make that folder (the package makes /var/lib/ringwell), give --root "
                          "DIR to keep it in DIR, or name another with CallbackSecretFile"});
    }
  } else if (const std::string folder = secret.substr(0, secret.rfind('/') + 1);
             service == nullptr && ::access(folder.c_str(), W_OK | X_OK) != 0) {
    problems.push_back({"the callback secret " + secret + " cannot be made: " + folder +
                            " is not writable (" + std::strerror(errno) + ")",
                        "make " + folder + " writable for the user that runs ringwell-api"});
  } else {
    well.push_back("the callback secret " + secret + " (made at the first start)");
  }
  std::string console = options.console_dir;
  if (!console.empty() && console.back() != '/') console += '/';
  if (!IsRegularFile(console + "index.html")) {
    problems.push_back({"the web console is missing: " + console + "index.html is not there",
                        "install the package's console files there, or give --console DIR "
                        "(ConsoleDir in the registry) naming the folder of index.html"});
  } else {
    well.push_back("the web console in " + console);
  }
  if (!options.tls_certificate.empty() && !options.tls_key.empty()) {
    well.push_back("TLS: " + options.tls_certificate + " and " + options.tls_key);
  }
  try {
    const bool given = !options.alert_routes_file.empty();
    const std::string routes_file = given ? options.alert_routes_file : kDefaultAlertRoutesFile;
    const auto routes = ReadAlertRoutes(routes_file, given);
    ReadOnCallTables(routes_file, given, routes);
    well.push_back("the alert routes: " + std::to_string(routes.size()) + " from " + routes_file);
  } catch (const std::exception& e) {
    problems.push_back({std::string("the alert routes: ") + e.what(),
                        "correct the file (man ringwell-api, ALERT ROUTES)"});
  }
  // Below the free space wanted, /readyz says not ready.
  if (const std::optional<std::uint64_t> free = FreeSpace(options.root);
      free && *free < ConfiguredMinFreeSpace()) {
    problems.push_back({"the storage root " + options.root + " has " + SpaceText(*free) +
                            " free, less than the " + SpaceText(ConfiguredMinFreeSpace()) +
                            " wanted (" + kMinFreeSpaceValue + "): /readyz answers not ready",
                        "free space on the file system of " + options.root + " (or lower " +
                            kMinFreeSpaceValue + " in the registry)"});
  }
  // Only an API in use must answer.
  if (FileExists(path) || UnitEnabled()) {
    for (const std::string& address : options.listen) {
      if (!Answers(address)) {
        problems.push_back(
            {"ringwell-api is not listening on " + address,
             "systemctl enable --now ringwell-api (see journalctl -u ringwell-api)"});
      } else {
        well.push_back("ringwell-api answers on " + address);
      }
    }
  }
  if (checked != nullptr) *checked = std::move(well);
  return problems;
}

}  // namespace ringwell::api
