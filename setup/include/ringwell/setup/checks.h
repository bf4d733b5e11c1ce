// The configuration checks every Ringwell program makes before it starts, and
// that "ringwell-setup --check" lists: the registry store reads and parses,
// the storage root and its subdirectories exist and this process may write
// them, the components a program needs are registered and load, and the
// audio format is one the system can write, the time zone (when set) one the
// system knows, and every setting is of its kind and in its range.
//
// Each problem is one sentence naming what is wrong and where, and the command
// that fixes it. A program that finds one prints
//   prepax: cannot start: <what and where>; to fix: <command>
// logs it, and exits with a non-zero code.
//
// Thread-safety: the functions read the registry and the file system and keep
// no state; they may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace ringwell::setup {

// What a problem is about, so that a program needing only part of the
// configuration can tell which problems stop it.
enum class Concern {
  kRegistry,        // the registry store is malformed or cannot be read
  kNoRegistry,      // there is no registry store at all
  kStorage,         // the storage root or a subdirectory is missing or not one
  kAccess,          // a directory is there but this user may not use it
  kAudioFormat,     // AudioFormat is missing or unknown
  kTimeZone,        // TimeZone names no zone the system knows
  kSetting,         // a setting is of the wrong kind or out of its range
  kUnknownSetting,  // a setting or table that no program reads (a misspelt name)
  kComponent,       // a component (or prepax) is not registered or does not load
  kOther,           // anything else (voices, running programs, the HTTP API)
};

struct Problem {
  std::string what;  // what is wrong, and where
  std::string fix;   // the command (or step) that fixes it
  Concern concern = Concern::kOther;
  // "<what>; to fix: <fix>"
  std::string Line() const;
};

// The component libraries.
enum class Component { kKel, kTallier, kWavshift, kDialqueue };

struct ComponentInfo {
  const char* name;     // "Tallier"
  const char* library;  // "libtallier.so"
};
ComponentInfo InfoOf(Component component);
// Every component library, in registration order.
std::vector<Component> AllComponents();

struct Requirements {
  std::vector<Component> components;
  // Whether the daemon's own registration (prepax -RegServer) must be there.
  bool prepax_registered = false;
  // Whether AudioFormat must be set; when false it is only checked when set.
  bool audio_format_needed = false;
  // A storage root given on the command line, in place of RootDir.
  std::string root;
};

// Every problem found, in the order above. A registry store that does not
// read ends the checks (nothing else can be known); a missing storage root
// ends the directory checks.
std::vector<Problem> CheckConfiguration(const Requirements& requirements);

// The storage root the checks use: `requirements.root` or RootDir, ending with
// "/"; empty when neither is there.
std::string ConfiguredRoot(const Requirements& requirements);

// The set-up command that makes the storage root `root` (ending with "/") as
// it should be: "ringwell-setup (as root)", with --root when it is not RootDir
// and --group when the root belongs to another group than ringwell, so that
// running it changes nothing else; `options` go before them.
std::string SetupCommand(const std::string& root, const std::string& options = "");

// Where the component libraries of this installation are: "lib/ringwell/"
// (installed) or "lib/" (build tree) beside the running program's "bin"
// directory, ending with "/".
std::string InstalledLibraryDir();

}  // namespace ringwell::setup
