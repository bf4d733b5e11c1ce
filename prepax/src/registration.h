// Registering the daemon in the registry store: its application identifier,
// the two classes it serves (PrepaxService, Speech) with the executable as
// their local server, its type library, and, when it is installed as a
// service, the LocalService/ServiceParameters values and the systemd unit.
#pragma once

#include "ringwell/common/hresult.h"

namespace ringwell::prepax {

// "RegServer" (as_service false) or "Service" (true). An earlier service
// installation is removed first, so "RegServer" after "Service" leaves no
// LocalService value and no unit.
HRESULT RegisterServer(bool as_service);
// "UnregServer": removes everything RegisterServer wrote, and the unit.
HRESULT UnregisterServer();

// Whether the daemon is registered (its application identifier key opens),
// and whether it is registered to run as a service (LocalService is set).
HRESULT QueryRegistration(bool* runs_as_service);

}  // namespace ringwell::prepax
