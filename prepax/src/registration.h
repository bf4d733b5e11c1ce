// Registering the daemon in the registry store: its application identifier,
// the two classes it serves (PrepaxService, Speech) with the executable as
// their local server, its type library, and, when it is installed as a
// service, the LocalService/ServiceParameters values and the systemd unit.
// The entries go to the daemon's own drop-in of the store.
//
// Each operation either does everything or changes nothing: on a failure the
// drop-in is put back as it was. `report` receives a sentence saying what was
// done, or on failure what went wrong and where.
//
// Thread-safety: one operation at a time, from the process's main thread.
#pragma once

#include <string>

#include "ringwell/common/hresult.h"

namespace ringwell::prepax {

// "RegServer" (as_service false) or "Service" (true). "RegServer" after
// "Service" leaves no LocalService value and no unit.
HRESULT RegisterServer(bool as_service, std::string* report);
// "UnregServer": removes everything RegisterServer wrote, and the unit.
HRESULT UnregisterServer(std::string* report);

// Whether the daemon is registered (its application identifier key opens),
// and whether it is registered to run as a service (LocalService is set).
HRESULT QueryRegistration(bool* runs_as_service);

}  // namespace ringwell::prepax
