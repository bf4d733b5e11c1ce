// The storage root and its layout. All components meet in one storage root
// directory, named by the registry value RootDir under SOFTWARE\Corvane\Ringwell;
// the rest follows from fixed subdirectory names and the request identifier:
//
//   Inbox/ID.xml        submitted request     (toolkit -> preprocessing daemon)
//   Requests/ID.xml     scheduled request     (preprocessing daemon -> scheduler)
//   Requests/ID/        the request's wav files
//   Reports/ID.xml      report                (report generator, read by the toolkit)
//   Files/USERID/       wav files a client stored
//   Status/NAME.json    heartbeat of a running program (status_file.h)
//   Events/             the HTTP API's event journals and pending callbacks
//
// The root in memory always ends with "/". Names that become part of a path
// (request IDs, user IDs, file names) must be plain names: see IsPlainName.
//
// Thread-safety: pure functions, apart from the registry reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ringwell/common/event_log.h"

namespace ringwell {

inline constexpr char kConfigKey[] = "SOFTWARE\\Corvane\\Ringwell";
inline constexpr char kRootDirValue[] = "RootDir";
inline constexpr char kAudioFormatValue[] = "AudioFormat";

inline constexpr char kInboxDir[] = "Inbox";
inline constexpr char kRequestsDir[] = "Requests";
inline constexpr char kReportsDir[] = "Reports";
inline constexpr char kFilesDir[] = "Files";
inline constexpr char kStatusDir[] = "Status";
inline constexpr char kEventsDir[] = "Events";
inline constexpr char kXmlExtension[] = "xml";
// The user ID the toolkit writes into every request and under which it keeps
// the stored wav files (Files/{0}/).
inline constexpr char kToolkitUserId[] = "{0}";

// Texts of the configuration failures ("Registry Error: %1").
inline constexpr char kRegistryKeyOpenFailed[] =
    "Failed open kegistry key: SOFTWARE\\Corvane\\Ringwell";
inline constexpr char kRootDirNotFound[] = "Registry value for key 'RootDir' not found";

// The root with "/" appended unless it already ends with one (so an empty text
// becomes "/").
std::string NormaliseRoot(std::string root);

// The reader of the preprocessing daemon and the report generator: reports
// "Registry Error: %1" (message `registry_error_id` of `log`) for a key that
// does not open and for a missing, empty or too long value, and goes on with
// what it has; never fails.
std::string ReadServiceRoot(const CEventLog& log, std::uint32_t registry_error_id);

// The toolkit's reader: silent; the root ending with "/", or nullopt when the
// key does not open or the value is missing, empty or too long.
std::optional<std::string> ReadToolkitRoot();

// True for a name that may stand for one path component: not empty, not "."
// or "..", no "/" and no NUL.
bool IsPlainName(std::string_view name);

// Paths of a request below a root (which ends with "/").
struct StorageLayout {
  std::string root;

  std::string InboxDir() const { return root + kInboxDir + "/"; }
  std::string RequestsDir() const { return root + kRequestsDir + "/"; }
  std::string ReportsDir() const { return root + kReportsDir + "/"; }
  std::string FilesDir() const { return root + kFilesDir + "/"; }

  // The name of a request's file in Inbox, Requests and Reports: ID.xml.
  static std::string XmlFileName(std::string_view id);

  std::string InboxFile(std::string_view id) const;
  // Where a client moves a request it withdraws from Inbox before the daemon
  // has scheduled it (Inbox/.ID.xml.withdrawn): a hidden name, which the
  // daemon never takes up, and which tells it that the request was withdrawn.
  std::string WithdrawnInboxFile(std::string_view id) const;
  std::string RequestFile(std::string_view id) const;
  // The request's wav directory, without a trailing "/".
  std::string RequestDir(std::string_view id) const;
  std::string ReportFile(std::string_view id) const;
  std::string UserFilesDir(std::string_view user_id) const;
};

// The report path of a scheduled request file: the last path component named
// "Requests" replaced by "Reports" (Requests/ID.xml -> Reports/ID.xml).
std::string ReportPathForRequestFile(std::string_view request_file);

}  // namespace ringwell
