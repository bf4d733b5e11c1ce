// The daemon's systemd unit: installing it is what registering the daemon as
// a service means here. The unit directory is $RINGWELL_UNIT_DIR, else
// /etc/systemd/system; the unit is "prepax.service".
//
// Thread-safety: used by the registering process's main thread; each call
// reads the environment and the unit directory anew.
#pragma once

#include <string>

#include "ringwell/common/hresult.h"

namespace ringwell::prepax {

std::string UnitDirectory();  // ends with "/"
std::string UnitPath();
bool ServiceInstalled();
// Whether a unit can be written: the unit directory exists and this process
// may create files in it. On failure `problem` starts with "Couldn't open
// service manager" and says why.
HRESULT CheckUnitDirectory(std::string* problem);
// Writes (or rewrites) the unit for `executable` and the registry store now in
// force. On failure `problem` starts with "Couldn't create service".
HRESULT InstallService(const std::string& executable, std::string* problem);
// Removes the unit if there is one. On failure `problem` starts with "Service
// could not be deleted".
HRESULT UninstallService(std::string* problem);

}  // namespace ringwell::prepax
