// The entry points of libkel.so: the class factories of the classes a client
// creates, the registration of every toolkit class with the type library
// KelLib, and the event source "Kel", registered when the library is loaded.
#include "kel_call.h"
#include "kel_file_info.h"
#include "kel_log.h"
#include "kel_message_part.h"
#include "kel_recipient.h"
#include "kel_report.h"
#include "kel_request.h"
#include "kel_response.h"
#include "kel_service.h"
#include "kel_sub_report.h"
#include "ringwell/common/class_registry.h"

namespace ringwell::kel {
namespace {

constexpr ClassEntry kCreatableClasses[] = {
    {kKelRequestClsid, &CreateClassFactory<CKelRequest>},
    {kKelMessagePartClsid, &CreateClassFactory<CKelMessagePart>},
    {kKelResponseClsid, &CreateClassFactory<CKelResponse>},
    {kKelRecipientClsid, &CreateClassFactory<CKelRecipient>},
    {kKelServiceClsid, &CreateClassFactory<CKelService>},
};

ClassInfo Info(const Guid& clsid, std::string_view description, std::string_view progid,
               std::string_view version_independent_progid) {
  return {.clsid = clsid,
          .description = description,
          .progid = progid,
          .version_independent_progid = version_independent_progid,
          .threading_model = "Apartment",
          .typelib = kKelLibId};
}

// Every class of the toolkit, creatable or not: the request side, the
// service, and the objects the service hands out (file descriptions and the
// report tree).
const ClassInfo kRegisteredClasses[] = {
    Info(kKelRequestClsid, "CV KelRequest Class", kKelRequestProgId, "Kel.KelRequest"),
    Info(kKelNodeClsid, "CV KelNode Class", kKelNodeProgId, "Kel.KelNode"),
    Info(kKelMessageClsid, "CV KelMessage Class", kKelMessageProgId, "Kel.KelMessage"),
    Info(kKelMessagePartClsid, "CV KelMessagePart Class", kKelMessagePartProgId,
         "Kel.KelMessagePart"),
    Info(kKelResponseClsid, "CV KelResponse Class", kKelResponseProgId, "Kel.KelResponse"),
    Info(kKelRecipientClsid, "CV KelRecipient Class", kKelRecipientProgId, "Kel.KelRecipient"),
    Info(kKelServiceClsid, "CV KelService Class", kKelServiceProgId, "Kel.KelService"),
    Info(kKelFileInfoClsid, "CV KelFileInfo Class", kKelFileInfoProgId, "Kel.KelFileInfo"),
    Info(kKelReportClsid, "CV KelReport Class", kKelReportProgId, "Kel.KelReport"),
    Info(kKelSubReportClsid, "CV KelSubReport Class", kKelSubReportProgId, "Kel.KelSubReport"),
    Info(kKelCallClsid, "KelCallInfo Class", kKelCallProgId, "Kel.KelCall"),
};

constexpr char kTypeLibHelpString[] = "Kel 1.0 Type Library";

std::string ThisModule() { return ModulePathOf(reinterpret_cast<const void*>(&ThisModule)); }

const EventSourceAtLoad kEventSource(&KelEventLog);

// The library stays loaded for the life of the process.
const ComponentLibrary kLibrary{.creatable = kCreatableClasses,
                                .registered = kRegisteredClasses,
                                .typelib = kKelLibId,
                                .typelib_help = kTypeLibHelpString,
                                .module_path = &ThisModule};

}  // namespace
}  // namespace ringwell::kel

RINGWELL_COMPONENT_ENTRY_POINTS(ringwell::kel::kLibrary)
