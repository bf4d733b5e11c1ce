#include "registration.h"

#include "identifiers.h"
#include "ringwell/common/registry.h"
#include "systemd_unit.h"

namespace ringwell::prepax {

HRESULT RegisterServer(bool as_service) {
  const std::string executable = ExecutablePath();
  UninstallService();
  HRESULT hr = registry::Edit([&](registry::Tree& tree) {
    tree.Set(AppIdKeyPath(), "", std::string(kAppDescription));
    tree.Set(ExecutableAppIdKeyPath(), "AppID", kAppId.ToString());
  });
  if (Failed(hr)) return hr;

  registry::Key app_key;
  hr = registry::Key::Open(AppIdKeyPath(), &app_key);
  if (Failed(hr)) return hr;
  app_key.DeleteValue(kLocalServiceValue);
  if (as_service) {
    hr = app_key.SetString(kLocalServiceValue, kServiceName);
    if (Succeeded(hr)) hr = app_key.SetString(kServiceParametersValue, kServiceParameters);
    if (Failed(hr)) return hr;
    // A failed installation is shown, but does not change the result.
    InstallService(executable);
  }

  hr = RegisterLocalServer(PrepaxServiceClassInfo(), executable);
  if (Succeeded(hr)) hr = RegisterLocalServer(SpeechClassInfo(), executable);
  if (Succeeded(hr)) hr = RegisterTypeLib(kPrepaxLibId, kPrepaxLibHelp, executable);
  return hr;
}

HRESULT UnregisterServer() {
  registry::DeleteKeyTree(AppIdKeyPath());
  registry::DeleteKeyTree(ExecutableAppIdKeyPath());
  UninstallService();
  UnregisterClass(PrepaxServiceClassInfo());
  UnregisterClass(SpeechClassInfo());
  UnregisterTypeLib(kPrepaxLibId);
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
