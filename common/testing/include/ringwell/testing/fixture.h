// Test support shared by every component's tests: a fixture that gives each
// test its own storage root (with Inbox, Requests, Reports and Files/{0}), its
// own registry store (RootDir pointing at that root) and its own event-log
// file, and helpers to read what the components wrote.
//
// The fixture points $RINGWELL_REGISTRY and $RINGWELL_EVENTLOG at its files and
// turns the journal off, so no test touches /etc or the real journal.
//
// Thread-safety: a fixture belongs to its test; its helpers may be called from
// the test's threads while the components under test run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ringwell::testing {

// A directory removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The directory's path, ending with "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct EventLogEntry {
  std::string source;
  std::string type;  // "error", "warning" or "information"
  std::uint32_t event_id = 0;
  std::vector<std::string> strings;
  std::string text;  // the formatted message
  // What the entry concerns (EventContext); empty when not given.
  std::string request_id;
  std::string path;
  std::optional<std::int32_t> line;
};

class RingwellTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The storage root, ending with "/".
  const std::string& root() const { return root_; }
  const std::string& registry_path() const { return registry_path_; }
  const std::string& event_log_path() const { return event_log_path_; }
  // A scratch directory outside the storage root, ending with "/".
  const std::string& scratch() const { return scratch_; }

  // Every entry written to the event log since the test began (or since the
  // last ClearEventLog).
  std::vector<EventLogEntry> EventLogEntries() const;
  void ClearEventLog();

  // The environment a program started by the test runs in: this test's
  // registry and event log, and no journal.
  std::map<std::string, std::string> ProgramEnvironment() const;

  // Registry values under SOFTWARE\Corvane\Ringwell.
  void SetConfigString(const std::string& name, const std::string& value);
  void SetConfigNumber(const std::string& name, std::uint32_t value);
  void DeleteConfigValue(const std::string& name);
  void DeleteConfigKey();

 private:
  TempDir dir_;
  std::string root_;
  std::string registry_path_;
  std::string event_log_path_;
  std::string scratch_;
};

// While it exists, the calling thread is subject to file permissions even
// when it runs as root (the capabilities that bypass them are dropped from the
// thread's effective set and restored afterwards), so tests of "permission
// denied" behave alike for root and for other users.
class PermissionsEnforced {
 public:
  PermissionsEnforced();
  ~PermissionsEnforced();
  PermissionsEnforced(const PermissionsEnforced&) = delete;
  PermissionsEnforced& operator=(const PermissionsEnforced&) = delete;

 private:
  bool dropped_ = false;
  std::uint32_t saved_[2] = {0, 0};
};

// A broken configuration of a fixture's registry and storage root, as the
// table tests of every program use them: `arrange` breaks it, and what the
// program says must name `cause`. `unknown_switch` stands for a misspelt
// argument, `cause` itself, which the program must refuse (nothing is broken
// then); `enforce_permissions` asks
// to run the program subject to file permissions (see RunCapturing).
struct BrokenConfiguration {
  std::string name;
  std::function<void()> arrange;
  std::string cause;
  bool enforce_permissions = false;
  bool unknown_switch = false;
};
// The table for a registry file and root (ending with "/") whose components
// were registered with ringwell-regsvr and whose AudioFormat is set: no
// registry file, malformed TOML, no RootDir, a missing subdirectory, a
// read-only Inbox, the report generator unregistered, an unknown audio
// format, an unknown time zone, a setting out of its range, an unknown switch.
std::vector<BrokenConfiguration> BrokenConfigurations(const std::string& registry_path,
                                                      const std::string& root);

// The build tree (for libraries and programs under test): $RINGWELL_BUILD_DIR,
// else the tree the tests were built in.
std::string BuildDir();
// lib/lib<name>.so and bin/<name> of the build tree.
std::string LibraryPath(const std::string& name);
// lib/test/lib<name>.so: the component libraries built only for the tests.
std::string TestLibraryPath(const std::string& name);
std::string ProgramPath(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Every entry below `dir` (recursively, sorted) with its kind, mode and,
// for files, content, one line each; entries named in `except` (by default the
// event log and the event sources' registration, which every program writes as
// it logs) are left out. Two
// equal snapshots mean nothing was created, removed or changed.
std::string Snapshot(const std::string& dir, const std::vector<std::string>& except = {
                                                 "events.jsonl", "event-sources.toml"});
// Names of the entries of a directory, sorted.
std::vector<std::string> ListDir(const std::string& path);

}  // namespace ringwell::testing
