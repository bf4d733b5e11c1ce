#include "ringwell/common/hresult.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ringwell {
namespace {

// errno values with a Win32 counterpart. The first errno listed for a Win32
// code is the one it maps back to.
struct ErrnoMapping {
  int err;
  std::uint32_t win32;
};
constexpr ErrnoMapping kErrnoMappings[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {ENOMEM, 14},  // ERROR_OUTOFMEMORY
    {EINVAL, 87},  // ERROR_INVALID_PARAMETER
    {EEXIST, ERROR_FILE_EXISTS},
    {ENOSPC, 112},        // ERROR_DISK_FULL
    {EBUSY, 170},         // ERROR_BUSY
    {EMFILE, 4},          // ERROR_TOO_MANY_OPEN_FILES
    {EBADF, 6},           // ERROR_INVALID_HANDLE
    {EXDEV, 17},          // ERROR_NOT_SAME_DEVICE
    {ENOTEMPTY, 145},     // ERROR_DIR_NOT_EMPTY
    {ENAMETOOLONG, 206},  // ERROR_FILENAME_EXCED_RANGE
    {EISDIR, 267},        // ERROR_DIRECTORY
};

// errno values without a Win32 counterpart: a facility of our own.
constexpr std::uint32_t kErrnoFacilityBase = 0xA0FE0000u;

struct SystemText {
  std::uint32_t code;
  const char* text;
};
// The texts the system gives for the codes the components name.
constexpr SystemText kSystemTexts[] = {
    {0x80004001u, "Not implemented"},
    {0x80004002u, "No such interface supported"},
    {0x80004003u, "Invalid pointer"},
    {0x80004004u, "Operation aborted"},
    {0x80004005u, "Unspecified error"},
    {0x8000FFFFu, "Catastrophic failure"},
    {0x80070002u, "The system cannot find the file specified."},
    {0x80070003u, "The system cannot find the path specified."},
    {0x80070005u, "Access is denied."},
    {0x8007000Eu, "Not enough memory resources are available to complete this operation."},
    {0x80070050u, "The file exists."},
    {0x80070057u, "The parameter is incorrect."},
    {0x80070070u, "There is not enough space on the disk."},
    {0x800700EAu, "More data is available."},
    {0x800703F1u, "The configuration registry database is corrupt."},
    {0x80040110u, "Class does not support aggregation (or class object is remote)"},
    {0x80040111u, "ClassFactory cannot supply requested class"},
    {0x80040154u, "Class not registered"},
    {0x8004015Fu, "DLL for class not found"},
    {0x800401F3u, "Invalid class string"},
    {0x800401F9u, "Error in the DLL"},
};

}  // namespace

HRESULT HresultFromErrno(int err) {
  if (err == 0) return S_OK;
  for (const auto& m : kErrnoMappings) {
    if (m.err == err) return HresultFromWin32(m.win32);
  }
  return MakeHresult(kErrnoFacilityBase | (static_cast<std::uint32_t>(err) & 0xFFFFu));
}

int ErrnoFromHresult(HRESULT hr) {
  const auto value = static_cast<std::uint32_t>(hr);
  if ((value & 0xFFFF0000u) == kErrnoFacilityBase) return static_cast<int>(value & 0xFFFFu);
  if ((value & 0xFFFF0000u) == 0x80070000u) {
    for (const auto& m : kErrnoMappings) {
      if (m.win32 == (value & 0xFFFFu)) return m.err;
    }
  }
  return 0;
}

std::string SystemErrorText(HRESULT hr) {
  const auto value = static_cast<std::uint32_t>(hr);
  if (value == 0) return "The operation completed successfully.";
  for (const auto& t : kSystemTexts) {
    if (t.code == value) return t.text;
  }
  if (int err = ErrnoFromHresult(hr); err != 0) {
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
  }
  return {};
}

std::string ErrorText(HRESULT hr) {
  std::string text = SystemErrorText(hr);
  if (!text.empty()) return text;
  const auto value = static_cast<std::uint32_t>(hr);
  char buffer[64];
  if (value > 0x80040200u && value <= 0x8004FFFFu) {
    std::snprintf(buffer, sizeof buffer, "IDispatch error #%u", value - 0x80040200u);
  } else {
    std::snprintf(buffer, sizeof buffer, "Unknown error 0x%X", value);
  }
  return buffer;
}

std::string HexCode(std::uint32_t code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", code);
  return buffer;
}

}  // namespace ringwell
