#include "systemd_unit.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "identifiers.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"

namespace ringwell::prepax {
namespace {

void ShowMessage(const char* text) { std::fprintf(stderr, "%s: %s\n", kServiceName, text); }

std::string UnitDirectory() {
  const char* env = std::getenv("RINGWELL_UNIT_DIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/etc/systemd/system";
  if (dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

std::string UnitPath() { return UnitDirectory() + kExecutableName + ".service"; }

bool ServiceInstalled() { return FileExists(UnitPath()); }

HRESULT InstallService(const std::string& executable) {
  if (ServiceInstalled()) return S_OK;
  if (!IsDirectory(UnitDirectory())) {
    ShowMessage("Couldn't open service manager");
    return HresultFromWin32(ERROR_PATH_NOT_FOUND);
  }
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
      "Restart=on-failure\n";
  if (const char* store = std::getenv("RINGWELL_REGISTRY"); store != nullptr && *store != '\0') {
    unit += "Environment=RINGWELL_REGISTRY=" + std::string(store) + "\n";
  }
  unit +=
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  HRESULT hr = WriteFileAtomically(UnitPath(), unit);
  if (Failed(hr)) ShowMessage("Couldn't create service");
  return hr;
}

HRESULT UninstallService() {
  if (!ServiceInstalled()) return S_OK;
  if (::unlink(UnitPath().c_str()) != 0) {
    ShowMessage("Service could not be deleted");
    return HresultFromErrno(errno);
  }
  return S_OK;
}

}  // namespace ringwell::prepax
