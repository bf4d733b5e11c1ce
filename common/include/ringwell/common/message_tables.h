// The message tables of the five deliverables: numbered texts with %1/%2
// placeholders, each stored followed by CR LF. Every identifier has severity
// error (top bits 11), facility 0 and a code counted from 1. The toolkit also
// uses its identifiers as status codes.
//
// Thread-safety: constant tables; any thread may read them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ringwell {

struct MessageEntry {
  std::uint32_t id;
  std::string_view text;
};
using MessageTable = std::span<const MessageEntry>;

// Preprocessing service, source "Ringwell Prepax".
namespace prepax_msg {
constexpr std::uint32_t kErrorIn = 0xC0000001;
constexpr std::uint32_t kRegistryError = 0xC0000002;
constexpr std::uint32_t kCreateDirectoryFailed = 0xC0000003;
constexpr std::uint32_t kNotInitialized = 0xC0000004;
constexpr std::uint32_t kCopyFileFailed = 0xC0000005;
constexpr std::uint32_t kDeleteFileFailed = 0xC0000006;
constexpr std::uint32_t kSaveFileFailed = 0xC0000007;
constexpr std::uint32_t kGenerateVoiceFileFailed = 0xC0000008;
inline constexpr MessageEntry kTable[] = {
    {kErrorIn, "Error in %1: %2\r\n"},
    {kRegistryError, "Registry Error: %1\r\n"},
    {kCreateDirectoryFailed, "Failed to create directory: %1\r\n"},
    {kNotInitialized, "Object %1 is not initialized.\r\n"},
    {kCopyFileFailed, "Failed to copy file: %1.\r\n"},
    {kDeleteFileFailed, "Failed to delete file: %1.\r\n"},
    {kSaveFileFailed, "Failed to save file: %1.\r\n"},
    {kGenerateVoiceFileFailed, "Failed to generate voice file: %1.\r\n"},
};
}  // namespace prepax_msg

// Toolkit, source "Kel".
namespace kel_msg {
constexpr std::uint32_t kErrorIn = 0xC0000001;
constexpr std::uint32_t kRegistryError = 0xC0000002;
constexpr std::uint32_t kDeleteFileFailed = 0xC0000003;
constexpr std::uint32_t kCopyFileFailed = 0xC0000004;
constexpr std::uint32_t kInvalidPropertyValue = 0xC0000005;
constexpr std::uint32_t kNoRecipients = 0xC0000006;
constexpr std::uint32_t kStopBeforeStart = 0xC0000007;
constexpr std::uint32_t kSourceFileNotFound = 0xC0000008;
constexpr std::uint32_t kOnlyWavFiles = 0xC0000009;
constexpr std::uint32_t kFileAccessFailed = 0xC000000A;
constexpr std::uint32_t kFileInfoFailed = 0xC000000B;
constexpr std::uint32_t kXmlLoadFailed = 0xC000000C;
constexpr std::uint32_t kXmlSaveFailed = 0xC000000D;
constexpr std::uint32_t kReportNotFound = 0xC000000E;
constexpr std::uint32_t kInvalidMessagePartType = 0xC000000F;
constexpr std::uint32_t kForbiddenFileNameCharacters = 0xC0000010;
constexpr std::uint32_t kLocationRequired = 0xC0000011;
constexpr std::uint32_t kReportNotFound2 = 0xC0000012;
constexpr std::uint32_t kPathNotFound = 0xC0000013;
constexpr std::uint32_t kSaveNotPermitted = 0xC0000014;
constexpr std::uint32_t kCreateObjectFailed = 0xC0000015;
inline constexpr MessageEntry kTable[] = {
    {kErrorIn, "Error in %1: %2\r\n"},
    {kRegistryError, "Registry Error: %1\r\n"},
    {kDeleteFileFailed, "Failed to delete file: %1.\r\n"},
    {kCopyFileFailed, "Failed to copy file: %1.\r\n"},
    {kInvalidPropertyValue, "Invalid property  value for property: %1 = %2.\r\n"},
    {kNoRecipients, "At least one recipient must be specified for request.\r\n"},
    {kStopBeforeStart, "StopTime must be specified after StartTime.\r\n"},
    {kSourceFileNotFound, "Source file can not be found: %1.\r\n"},
    {kOnlyWavFiles, "Only wav files can be submitted.\r\n"},
    {kFileAccessFailed, "Failed to access specified file: %1.\r\n"},
    {kFileInfoFailed, "Failed to get file info: %1.\r\n"},
    {kXmlLoadFailed, "Failed to load XML file %1 with error: %2.\r\n"},
    {kXmlSaveFailed, "Failed to save XML file %1 with error: %2.\r\n"},
    {kReportNotFound, "Report file not found.\r\n"},
    {kInvalidMessagePartType, "Invalid MessagePart type.\r\n"},
    {kForbiddenFileNameCharacters,
     "A filename cannot contain any of the following characters: %1.\r\n"},
    {kLocationRequired, "A ServiceLocation property must be specified.\r\n"},
    {kReportNotFound2, "Report file not found.\r\n"},
    {kPathNotFound, "The system cannot find path specified: %1.\r\n"},
    {kSaveNotPermitted, "Save operation is not permitted: %1.\r\n"},
    {kCreateObjectFailed, "Failed to create object %1: %2.\r\n"},
};
}  // namespace kel_msg

// Call scheduler, source "Ringwell Dialqueue".
namespace dialqueue_msg {
constexpr std::uint32_t kErrorIn = 0xC0000001;
constexpr std::uint32_t kXmlErrorIn = 0xC0000002;
inline constexpr MessageEntry kTable[] = {
    {kErrorIn, "Error in %1: %2.\r\n"},
    {kXmlErrorIn, "XML error in %1: %2.\r\n"},
};
}  // namespace dialqueue_msg

// Report generator, source "Tallier".
namespace tallier_msg {
constexpr std::uint32_t kErrorIn = 0xC0000001;
constexpr std::uint32_t kRegistryError = 0xC0000002;
inline constexpr MessageEntry kTable[] = {
    {kErrorIn, "Error in %1: %2\r\n"},
    {kRegistryError, "Registry Error: %1\r\n"},
    {0xC0000003, "Failed to create directory: %1\r\n"},
    {0xC0000004, "Object %1 is not initialized.\r\n"},
    {0xC0000005, "Failed to copy file: %1.\r\n"},
    {0xC0000006, "Failed to delete file: %1.\r\n"},
    {0xC0000007, "Failed to save file: %1.\r\n"},
};
}  // namespace tallier_msg

// Audio converter, source "Ringwell Wavshift".
namespace wavshift_msg {
constexpr std::uint32_t kErrorIn = 0xC0000001;
constexpr std::uint32_t kRegistryError = 0xC0000002;
constexpr std::uint32_t kCopyFileFailed = 0xC0000003;
constexpr std::uint32_t kSaveFileFailed = 0xC0000004;
constexpr std::uint32_t kNotInitialized = 0xC0000005;
constexpr std::uint32_t kDeleteFileFailed = 0xC0000006;
constexpr std::uint32_t kMoveFileFailed = 0xC0000007;
inline constexpr MessageEntry kTable[] = {
    {kErrorIn, "Error in %1: %2\r\n"},
    {kRegistryError, "Registry Error: %1\r\n"},
    {kCopyFileFailed, "Failed to copy file: %1.\r\n"},
    {kSaveFileFailed, "Failed to save file: %1.\r\n"},
    {kNotInitialized, "Object %1 is not initialized.\r\n"},
    {kDeleteFileFailed, "Failed to delete file: %1.\r\n"},
    {kMoveFileFailed, "Failed to move file: %1.\r\n"},
};
}  // namespace wavshift_msg

}  // namespace ringwell
