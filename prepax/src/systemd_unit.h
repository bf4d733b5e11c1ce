// The daemon's systemd unit: installing it is what registering the daemon as
// a service means here. The unit directory is $RINGWELL_UNIT_DIR, else
// /etc/systemd/system; the unit is "prepax.service".
#pragma once

#include <string>

#include "ringwell/common/hresult.h"

namespace ringwell::prepax {

std::string UnitPath();
bool ServiceInstalled();
// Writes the unit for `executable` (and the registry store now in force).
// Failures print "Couldn't create service" on standard error.
HRESULT InstallService(const std::string& executable);
// Removes the unit if there is one. Failures print "Service could not be
// deleted" on standard error.
HRESULT UninstallService();

}  // namespace ringwell::prepax
