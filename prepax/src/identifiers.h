// Identifiers of the prepax daemon: its service name, application identifier,
// type library and the classes it serves (PrepaxService and Speech).
//
// Thread-safety: constants.
#pragma once

#include "ringwell/common/class_registry.h"
#include "ringwell/prepax/speech.h"

namespace ringwell::prepax {

inline constexpr char kServiceName[] = "Prepax";
inline constexpr char kExecutableName[] = "prepax";
inline constexpr Guid kAppId = "{24737E29-6D6C-48BE-A03B-4AB285CE1591}"_guid;
inline constexpr char kAppDescription[] = "CV Prepax";
inline constexpr Guid kPrepaxLibId = "{3F1E0B7E-A366-4250-BC5A-DB29A73EBEFE}"_guid;
inline constexpr char kPrepaxLibHelp[] = "CV Prepax 1.0 Type Library";
inline constexpr Guid kPrepaxServiceClsid = "{5B284EDB-EFB8-45CB-9220-87BE66DB7551}"_guid;

// Values under the application identifier key when installed as a service.
inline constexpr char kLocalServiceValue[] = "LocalService";
inline constexpr char kServiceParametersValue[] = "ServiceParameters";
inline constexpr char kServiceParameters[] = "-Service";

struct IPrepaxService : IUnknown {
  static constexpr Guid kIid = "{41AEDA1F-7F70-4ACF-8B45-3C5C8DE7B3E1}"_guid;
  using Base = IUnknown;
};

inline ClassInfo PrepaxServiceClassInfo() {
  return {.clsid = kPrepaxServiceClsid,
          .description = "CV PrepaxService Class",
          .progid = "Prepax.PrepaxService.1",
          .version_independent_progid = "Prepax.PrepaxService",
          .typelib = kPrepaxLibId,
          .appid = kAppId};
}

inline ClassInfo SpeechClassInfo() {
  return {.clsid = kSpeechClsid,
          .description = "CV Speech Class",
          .progid = kSpeechProgId,
          .version_independent_progid = kSpeechVersionIndependentProgId,
          .programmable = false,
          .cur_ver = false,
          .appid = kAppId};
}

// Registry keys of the application identifier.
inline std::string AppIdKeyPath() { return "SOFTWARE\\Classes\\AppID\\" + kAppId.ToString(); }
inline std::string ExecutableAppIdKeyPath() {
  return std::string("SOFTWARE\\Classes\\AppID\\") + kExecutableName;
}

}  // namespace ringwell::prepax
