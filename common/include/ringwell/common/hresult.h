// Status codes: 32-bit signed values, zero or positive for success and negative
// for failure, with the constants every component uses and the text rules that
// turn a code into a readable description.
//
// System errors of this platform (errno values) are carried in the Win32
// facility (0x8007xxxx) where a matching Win32 code exists, so that callers can
// test for "access denied" or "path not found" by value; every other errno is
// carried in a facility of our own and described with strerror.
//
// Thread-safety: everything here is a pure function.
#pragma once

#include <cstdint>
#include <string>

namespace ringwell {

using HRESULT = std::int32_t;

constexpr HRESULT MakeHresult(std::uint32_t value) { return static_cast<HRESULT>(value); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
constexpr HRESULT E_ABORT = MakeHresult(0x80004004u);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x8004015Fu);
constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9u);
constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3u);

// Win32 error codes that the components test for, and the facility that wraps
// them.
constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
constexpr std::uint32_t ERROR_MORE_DATA = 234;
constexpr std::uint32_t ERROR_BADDB = 1009;

constexpr HRESULT HresultFromWin32(std::uint32_t code) {
  return code == 0 ? S_OK : MakeHresult(0x80070000u | (code & 0xFFFFu));
}

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// The status code for an errno value (EACCES gives E_ACCESSDENIED, ENOENT the
// file-not-found code, ENOMEM E_OUTOFMEMORY, EINVAL E_INVALIDARG, ...).
HRESULT HresultFromErrno(int err);

// The errno value a status code wraps, or 0 when it wraps none.
int ErrnoFromHresult(HRESULT hr);

// The system's text for a status code, or an empty string when the system has
// none. No trailing line break.
std::string SystemErrorText(HRESULT hr);

// The error text of a status code: the system's text; else "IDispatch error #n"
// for codes above 0x80040200 up to 0x8004FFFF; else "Unknown error 0x..." with
// the code in upper-case hexadecimal.
std::string ErrorText(HRESULT hr);

// "0x" followed by the code in upper-case hexadecimal, eight digits.
std::string HexCode(std::uint32_t code);

}  // namespace ringwell
