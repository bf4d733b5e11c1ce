#include "registration.h"

#include <unistd.h>

#include <optional>

#include "identifiers.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"
#include "systemd_unit.h"

namespace ringwell::prepax {
namespace {

// The daemon's drop-in as it was before a change, to put back on failure.
class DropInBackup {
 public:
  DropInBackup() : path_(registry::OwnDropInPath()) {
    std::string text;
    if (Succeeded(ReadWholeFile(path_, &text))) text_ = std::move(text);
  }
  void Restore() const {
    if (text_) {
      WriteFileAtomically(path_, *text_);
    } else {
      ::unlink(path_.c_str());
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::optional<std::string> text_;
};

std::string StoreProblem(const char* what, HRESULT hr) {
  std::string problem = std::string(what) + ": " + ErrorText(hr);
  if (const std::string where = registry::LastProblem(); !where.empty()) problem += ": " + where;
  return problem;
}

HRESULT WriteEntries(bool as_service, const std::string& executable) {
  HRESULT hr = registry::Edit([&](registry::Tree& tree) {
    tree.Set(AppIdKeyPath(), "", std::string(kAppDescription));
    tree.Set(ExecutableAppIdKeyPath(), "AppID", kAppId.ToString());
    if (as_service) {
      tree.Set(AppIdKeyPath(), kLocalServiceValue, std::string(kServiceName));
      tree.Set(AppIdKeyPath(), kServiceParametersValue, std::string(kServiceParameters));
    } else {
      tree.DeleteValue(AppIdKeyPath(), kLocalServiceValue);
      tree.DeleteValue(AppIdKeyPath(), kServiceParametersValue);
    }
  });
  if (Succeeded(hr)) hr = RegisterLocalServer(PrepaxServiceClassInfo(), executable);
  if (Succeeded(hr)) hr = RegisterLocalServer(SpeechClassInfo(), executable);
  if (Succeeded(hr)) hr = RegisterTypeLib(kPrepaxLibId, kPrepaxLibHelp, executable);
  return hr;
}

}  // namespace

HRESULT RegisterServer(bool as_service, std::string* report) {
  const std::string executable = ExecutablePath();
  if (as_service) {
    if (HRESULT hr = CheckUnitDirectory(report); Failed(hr)) return hr;
  }
  const DropInBackup backup;
  if (HRESULT hr = WriteEntries(as_service, executable); Failed(hr)) {
    *report = StoreProblem("Registration failed", hr);
    backup.Restore();
    return hr;
  }
  const bool had_unit = ServiceInstalled();
  const HRESULT hr = as_service ? InstallService(executable, report) : UninstallService(report);
  if (Failed(hr)) {
    backup.Restore();
    return hr;
  }
  *report = "Registered " + executable + " in " + backup.path();
  if (as_service) {
    *report += " and installed the unit " + UnitPath() +
               "; start it with: systemctl daemon-reload && systemctl enable --now " +
               kExecutableName;
  } else if (had_unit) {
    *report += " and removed the unit " + UnitPath();
  }
  return S_OK;
}

HRESULT UnregisterServer(std::string* report) {
  const DropInBackup backup;
  HRESULT hr = registry::DeleteKeyTree(AppIdKeyPath());
  if (Succeeded(hr)) hr = registry::DeleteKeyTree(ExecutableAppIdKeyPath());
  if (Succeeded(hr)) hr = UnregisterClass(PrepaxServiceClassInfo());
  if (Succeeded(hr)) hr = UnregisterClass(SpeechClassInfo());
  if (Succeeded(hr)) hr = UnregisterTypeLib(kPrepaxLibId);
  if (Failed(hr)) {
    *report = StoreProblem("Unregistration failed", hr);
    backup.Restore();
    return hr;
  }
  const bool had_unit = ServiceInstalled();
  if (hr = UninstallService(report); Failed(hr)) {
    backup.Restore();
    return hr;
  }
  *report = "Unregistered " + ExecutablePath() + " from " + registry::StorePath();
  if (had_unit) *report += " and removed the unit " + UnitPath();
  return S_OK;
}

HRESULT QueryRegistration(bool* runs_as_service) {
  registry::Key app_key;
  HRESULT hr = registry::Key::Open(AppIdKeyPath(), &app_key);
  if (Failed(hr)) return hr;
  std::string local_service;
  *runs_as_service = Succeeded(app_key.QueryString(kLocalServiceValue, &local_service));
  return S_OK;
}

}  // namespace ringwell::prepax
