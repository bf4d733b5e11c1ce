// Heartbeat files: each long-running program (prepax, ringwell-host) rewrites
// Status/<program>.json below the storage root every few seconds, so that
// others (the HTTP API's /readyz and /metrics, ringwell-setup --check) can
// tell it runs for this installation and what it is doing.
//
// The file is one JSON object, format 1:
//
//   {
//     "format": 1,                        this layout; a reader refuses another
//     "program": "ringwell-host",
//     "version": "0.2.0",                 the program's version
//     "pid": 4711,
//     "root": "/var/spool/ringwell/",     the storage root it works on
//     "rootId": "2049:1835009",           device:inode of that root directory
//     "state": "running",                 "stopped" once it stopped in order
//     "started": "2026-12-07T09:00:00.000Z",
//     "time": "2026-12-07T09:30:02.125Z", when this was written (UTC)
//     "unixMillis": 1796636402125,        the same in milliseconds since 1970
//     "interval": 2,                      seconds until the next write
//     ...                                 the program's own keys
//   }
//
// The host adds "lines" ([{"line": 1, "kind": "sim"|"sip"|"pager", "busy": bool,
// "simulated": true for a simulated device}]), "pager" ({"kind":
// "simulated"|"real"|"none", "line": N}: "none" and pages fail),
// "sip" ({"registration": "registered"|"failed"|"none", "registrar", "detail"}),
// "dueQueue" (recipients due now) and "counters" ({"calls": {RESULT: n},
// "pages": {RESULT: n}}, since it started). The file is replaced atomically
// and not synced to disk: it only says what is happening now.
//
// On a storage root shared by several boxes (SharedRoot = 1), each box's
// program writes a file of its own, Status/<program>-<HOST>.json (HOST: the
// box's HostId), which also says "host": HOST; a single box keeps
// Status/<program>.json. Readers read every box's file (ReadEvery). A file of
// another box is not checked against this box's processes, and its root is
// the same when its path is (each box mounts the root at the same path).
//
// Thread-safety: the functions may be called from any thread; a Heartbeat
// calls its `details` function on its own thread.
#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ringwell/common/hresult.h"

namespace ringwell::status_file {

inline constexpr int kFormat = 1;

// root + "Status/" + program + ".json", or with `host`, the file of that box
// of a shared root: root + "Status/" + program + "-" + host + ".json"; `root`
// ends with "/".
std::string PathOf(const std::string& root, std::string_view program, std::string_view host = {});
// "<device>:<inode>" of the directory `root`, empty when it cannot be read.
std::string RootIdentity(const std::string& root);

// Writes the file of `program` with the common keys, `state`, `started` and
// every key of `details` (an object); with `host`, the file of that box of a
// shared root, which says "host" too.
HRESULT Write(const std::string& root, std::string_view program, std::string_view state,
              std::chrono::system_clock::time_point started, std::chrono::seconds interval,
              const nlohmann::json& details, std::string_view host = {});

struct Reading {
  nlohmann::json content;
  std::chrono::system_clock::time_point time;  // when it was written
  bool this_root = false;                      // written for this root (the same directory)
  std::string host;                            // the box of a shared root; empty: a single box
  bool other_box = false;                      // written on another box than this one (its HostId)
};

// The file of `program` (of box `host` of a shared root, when given);
// nullopt, with `problem` saying why, when it is missing, unreadable, not
// JSON or of another format.
std::optional<Reading> Read(const std::string& root, std::string_view program, std::string* problem,
                            std::string_view host = {});

// Every file of `program` below `root`: the single box's (host empty) first,
// then each box's of a shared root by its name. Empty when there is none.
struct BoxReading {
  std::string host;
  std::string path;
  std::optional<Reading> reading;  // nullopt: `problem` says why
  std::string problem;
};
std::vector<BoxReading> ReadEvery(const std::string& root, std::string_view program);

// Whether the reading shows the program working now: for this root, running,
// its process there, and written at most `max_age` ago. Otherwise false with
// `why_not` ("stopped at ...", "last seen 95 s ago", ...).
bool SeenWorking(const Reading& reading, std::chrono::seconds max_age, std::string* why_not);

// Writes the file of `program` at once and then every `interval` from a
// thread of its own, with what `details` returns; when destroyed, stops the
// thread and writes the file a last time with the state "stopped".
class Heartbeat {
 public:
  // With `host`, the file of that box of a shared root.
  Heartbeat(std::string root, std::string program, std::chrono::seconds interval,
            std::function<nlohmann::json()> details, std::string host = {});
  ~Heartbeat();
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

 private:
  void Beat(std::string_view state);

  const std::string root_;
  const std::string program_;
  const std::string host_;
  const std::chrono::seconds interval_;
  const std::function<nlohmann::json()> details_;
  const std::chrono::system_clock::time_point started_;
  std::jthread thread_;
};

}  // namespace ringwell::status_file
