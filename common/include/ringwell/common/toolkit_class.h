// The class identifier of the toolkit's service, KelService in libkel.so: the
// class a client creates first, and the one an installation check looks up to
// tell whether the toolkit is registered. It is kept here, beside the runtime
// that creates classes by identifier, so that a check of the installation
// names the toolkit's class without including the toolkit's interfaces
// (ringwell/kel/kel.h includes this header and keeps the toolkit's other
// identifiers).
//
// Thread-safety: a constant.
#pragma once

#include "ringwell/common/guid.h"

namespace ringwell::kel {

using namespace ringwell::literals;

inline constexpr Guid kKelServiceClsid = "{B5F50A94-5BE1-4891-B82B-EFA5B8C307D4}"_guid;

}  // namespace ringwell::kel
