#include "systemd_unit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "identifiers.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::prepax {

std::string UnitDirectory() {
  const char* env = std::getenv("RINGWELL_UNIT_DIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/etc/systemd/system";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string UnitPath() { return UnitDirectory() + kExecutableName + ".service"; }

bool ServiceInstalled() { return FileExists(UnitPath()); }

HRESULT CheckUnitDirectory(std::string* problem) {
  const std::string dir = UnitDirectory();
  if (!IsDirectory(dir)) {
    *problem = "Couldn't open service manager: the unit directory " + dir + " does not exist";
    return HresultFromWin32(ERROR_PATH_NOT_FOUND);
  }
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    const HRESULT hr = HresultFromErrno(errno);
    *problem = "Couldn't open service manager: the unit directory " + dir + " is not writable (" +
               ErrorText(hr) + ")";
    return hr;
  }
  return S_OK;
}

HRESULT InstallService(const std::string& executable, std::string* problem) {
  std::string unit =
      "[Unit]\n"
      "Description=Ringwell Prepax: preprocesses submitted notification requests\n"
      "After=local-fs.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" +
      executable +
      "\n"
      "Restart=on-failure\n"
      // The daemon passes a stop on to its worker processes and waits for them.
      "KillMode=mixed\n"
      // A refused configuration exits with 1: no restart loop, the start fails.
      "RestartPreventExitStatus=1 2\n";
  if (const char* store = std::getenv("RINGWELL_REGISTRY"); store != nullptr && *store != '\0') {
    unit += "Environment=RINGWELL_REGISTRY=" + std::string(store) + "\n";
  }
  unit +=
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  const HRESULT hr = WriteFileAtomically(UnitPath(), unit);
  if (Failed(hr)) *problem = "Couldn't create service " + UnitPath() + ": " + ErrorText(hr);
  return hr;
}

HRESULT UninstallService(std::string* problem) {
  if (!ServiceInstalled()) return S_OK;
  if (::unlink(UnitPath().c_str()) != 0) {
    const HRESULT hr = HresultFromErrno(errno);
    *problem = "Service could not be deleted: " + UnitPath() + ": " + ErrorText(hr);
    return hr;
  }
  return S_OK;
}

}  // namespace ringwell::prepax
