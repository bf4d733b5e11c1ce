#include "ringwell/setup/checks.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/files.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/common/toolkit_class.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/wavshift/audio_format.h"
#include "ringwell/wavshift/wavshift.h"
#include "settings_check.h"

namespace ringwell::setup {
namespace {

constexpr char kSetupCommand[] = "ringwell-setup";
// The key as the registry file writes it.
constexpr char kConfigKeyName[] = "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]";

Guid ClsidOf(Component component) {
  switch (component) {
    case Component::kKel:
      return kel::kKelServiceClsid;
    case Component::kTallier:
      return tallier::kTallierClsid;
    case Component::kWavshift:
      return wavshift::kWavshiftClsid;
    case Component::kDialqueue:
      return dialqueue::kDialqueueClsid;
  }
  return {};
}

bool InGroup(gid_t gid) {
  const int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
  if (count > 0 && ::getgroups(count, groups.data()) < 0) return false;
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string StoreName() {
  return registry::StorePath() + " (with " + registry::DropInDirectory() + ")";
}

// Checks the registry store itself; false when nothing else can be read.
bool CheckStore(std::vector<Problem>* problems) {
  std::string where;
  const HRESULT hr = registry::Check(&where);
  if (hr == HresultFromWin32(ERROR_BADDB)) {
    const bool hand_written = where.rfind(registry::StorePath() + ":", 0) == 0;
    problems->push_back(
        {"the registry is malformed: " + where,
         hand_written ? "correct that line of " + registry::StorePath()
                      : "correct or remove that drop-in, then run " + std::string(kSetupCommand),
         Concern::kRegistry});
    return false;
  }
  if (Failed(hr)) {
    problems->push_back({"the registry cannot be read: " + where,
                         "make it readable for this user, or run this program as root",
                         Concern::kRegistry});
    return false;
  }
  if (!registry::StoreExists()) {
    problems->push_back({"there is no registry: " + registry::StorePath() + " does not exist",
                         std::string(kSetupCommand) +
                             " (as root; with --root DIR for another storage root than "
                             "/var/spool/ringwell/)",
                         Concern::kNoRegistry});
    return false;
  }
  return true;
}

// Checks that `path` is a directory this process may list and, when
// `writable`, write; `root` is the storage root it belongs to.
bool CheckDirectory(const std::string& root, const std::string& path, const char* what,
                    std::vector<Problem>* problems, bool writable = true) {
  const std::string fix = SetupCommand(root);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    problems->push_back(
        {std::string(what) + " " + path + " does not exist", fix, Concern::kStorage});
    return false;
  }
  // (A directory above it that shuts this user out is an access problem.)
  if (st.st_mode != 0 && !S_ISDIR(st.st_mode)) {
    problems->push_back(
        {std::string(what) + " " + path + " is not a directory", fix, Concern::kStorage});
    return false;
  }
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK | X_OK | (writable ? W_OK : 0), AT_EACCESS) != 0) {
    const int error = errno;
    // Outside the group of the directory (or of the nearest one above it this
    // user can see) only membership helps; inside it, the set-up gives the
    // directory back its group and modes.
    std::string seen = path;
    while (::stat(seen.c_str(), &st) != 0 && seen.size() > 1) {
      seen = std::filesystem::path(seen).lexically_normal().parent_path().string();
    }
    std::string member_fix = fix;
    if (::getegid() != st.st_gid && !InGroup(st.st_gid)) {
      const passwd* user = ::getpwuid(::geteuid());
      const group* owner = ::getgrgid(st.st_gid);
      member_fix = "adduser " + std::string(user != nullptr ? user->pw_name : "USER") + " " +
                   (owner != nullptr ? owner->gr_name : std::to_string(st.st_gid)) +
                   " (as root; it counts from the next login)";
    }
    problems->push_back({std::string(what) + " " + path + " is not " +
                             (writable ? "writable" : "readable") + " for this user (" +
                             std::strerror(error) + ")",
                         member_fix, Concern::kAccess});
    return false;
  }
  return true;
}

void CheckDirectories(const std::string& root, std::vector<Problem>* problems) {
  // Everything is written in the subdirectories: the root itself (0755, as
  // ringwell-setup makes it) need only be readable.
  if (!CheckDirectory(root, root, "the storage root", problems, false)) return;
  const StorageLayout layout{root};
  const std::pair<std::string, const char*> subdirectories[] = {
      {layout.InboxDir(), "the directory"},
      {layout.RequestsDir(), "the directory"},
      {layout.ReportsDir(), "the directory"},
      {layout.UserFilesDir(kToolkitUserId), "the directory"}};
  for (const auto& [path, what] : subdirectories) CheckDirectory(root, path, what, problems);
}

// The file that gives the value `name` of the installation's key, and
// whether it is the hand-written one; nullopt when no file does.
std::optional<registry::WrittenValue> WrittenConfigValue(std::string_view name) {
  std::optional<registry::WrittenValue> found;
  registry::Read([&](const registry::Tree& tree) {
    for (auto& value : tree.Values(kConfigKey)) {
      if (EqualsIgnoringCase(value.name, name)) found = std::move(value);
    }
  });
  return found;
}

void CheckAudioFormat(bool needed, const std::string& root, std::vector<Problem>* problems) {
  registry::Key key;
  std::uint32_t number = 0;
  // ringwell-setup writes its own drop-in only: a value that another file
  // gives is changed there.
  std::string fix = SetupCommand(root, "--audio-format 49");
  const auto written = WrittenConfigValue(kAudioFormatValue);
  if (written && written->hand_written) {
    fix = "set AudioFormat = 49 in " + written->file;
  } else if (written && BaseNameOf(written->file) != "ringwell-setup.toml") {
    fix = "remove AudioFormat from " + written->file + ", then: " + fix;
  }
  if (Failed(registry::Key::Open(kConfigKey, &key)) ||
      key.QueryDword(kAudioFormatValue, &number) == HresultFromWin32(ERROR_FILE_NOT_FOUND)) {
    if (needed) {
      problems->push_back({std::string("no audio format is configured: AudioFormat under ") +
                               kConfigKeyName + " is missing in " + StoreName(),
                           fix, Concern::kAudioFormat});
    }
    return;
  }
  std::string text;
  key.QueryString(kAudioFormatValue, &text);
  try {
    if (Failed(key.QueryDword(kAudioFormatValue, &number))) throw ComError(E_INVALIDARG);
    audio::FindAudioFormat(static_cast<std::int32_t>(number));
  } catch (const ComError&) {
    problems->push_back({"the audio format " + text + " (AudioFormat under " + kConfigKeyName +
                             (written ? " in " + written->file : std::string()) +
                             ") is unknown: the system writes the stream formats 4 to 68 "
                             "except 40",
                         fix + ", or another number of that table (49: 8 kHz mu-law)",
                         Concern::kAudioFormat});
  }
}

void CheckTimeZone(std::vector<Problem>* problems) {
  const auto zone = UnknownConfiguredTimeZone();
  if (!zone) return;
  problems->push_back({"the time zone \"" + *zone + "\" (TimeZone under " + kConfigKeyName +
                           " in " + StoreName() + ") is unknown: every window would be off",
                       "set TimeZone to a name under /usr/share/zoneinfo, such as Europe/Berlin, "
                       "or remove it to use the system's zone",
                       Concern::kTimeZone});
}

void CheckComponent(Component component, const std::string& root, std::vector<Problem>* problems) {
  const ComponentInfo info = InfoOf(component);
  const std::string fix =
      SetupCommand(root) + ", or ringwell-regsvr " + InstalledLibraryDir() + info.library;
  registry::Key key;
  std::string path;
  if (Failed(registry::Key::Open(ClassKeyPath(ClsidOf(component)) + "\\InprocServer32", &key)) ||
      Failed(key.QueryString("", &path, 4096)) || path.empty()) {
    problems->push_back({std::string("the component ") + info.name + " (" + info.library +
                             ") is not registered in " + StoreName(),
                         fix, Concern::kComponent});
    return;
  }
  const std::string registered =
      std::string("the component ") + info.name + " is registered as " + path;
  if (!IsRegularFile(path)) {
    problems->push_back({registered + ", which does not exist", fix, Concern::kComponent});
    return;
  }
  // Kept loaded: the program creates its objects from it next.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    problems->push_back(
        {registered + ", which does not load: " + dlerror(), fix, Concern::kComponent});
    return;
  }
  if (dlsym(handle, "DllGetClassObject") == nullptr) {
    problems->push_back(
        {registered + ", which is not a component library", fix, Concern::kComponent});
  }
}

void CheckPrepaxRegistration(const std::string& root, std::vector<Problem>* problems) {
  registry::Key key;
  if (Failed(registry::Key::Open("SOFTWARE\\Classes\\AppID\\prepax", &key))) {
    problems->push_back({"prepax is not registered in " + StoreName(),
                         "prepax -RegServer, or " + SetupCommand(root), Concern::kComponent});
  }
}

}  // namespace

std::string SetupCommand(const std::string& root, const std::string& options) {
  std::string command = kSetupCommand;
  if (!options.empty()) command += " " + options;
  if (!root.empty() && ReadToolkitRoot().value_or("") != root) command += " --root " + root;
  struct stat st {};
  if (!root.empty() && ::stat(root.c_str(), &st) == 0) {
    const group* owner = ::getgrgid(st.st_gid);
    if (owner != nullptr && std::string(owner->gr_name) != "ringwell" && st.st_gid != 0) {
      command += " --group " + std::string(owner->gr_name);
    }
  }
  return command + " (as root)";
}

std::string Problem::Line() const { return what + "; to fix: " + fix; }

ComponentInfo InfoOf(Component component) {
  switch (component) {
    case Component::kKel:
      return {"Kel", "libkel.so"};
    case Component::kTallier:
      return {"Tallier", "libtallier.so"};
    case Component::kWavshift:
      return {"Wavshift", "libwavshift.so"};
    case Component::kDialqueue:
      return {"Dialqueue", "libdialqueue.so"};
  }
  return {"", ""};
}

std::vector<Component> AllComponents() {
  return {Component::kKel, Component::kTallier, Component::kWavshift, Component::kDialqueue};
}

std::string InstalledLibraryDir() {
  const std::string bin = DirectoryOf(ExecutablePath());  // ".../bin/"
  const std::string lib = DirectoryOf(bin.substr(0, bin.empty() ? 0 : bin.size() - 1)) + "lib/";
  // Installed, the component libraries have a directory of their own; in the
  // build tree they sit in lib/ itself.
  return IsDirectory(lib + "ringwell") ? lib + "ringwell/" : lib;
}

std::string ConfiguredRoot(const Requirements& requirements) {
  if (!requirements.root.empty()) return NormaliseRoot(requirements.root);
  return ReadToolkitRoot().value_or("");
}

std::vector<Problem> CheckConfiguration(const Requirements& requirements) {
  std::vector<Problem> problems;
  if (!CheckStore(&problems)) return problems;
  const std::string root = ConfiguredRoot(requirements);
  if (root.empty()) {
    problems.push_back({std::string("no storage root is configured: RootDir under ") +
                            kConfigKeyName + " is missing in " + StoreName(),
                        std::string(kSetupCommand) +
                            " (as root; it sets RootDir to /var/spool/ringwell/, or to DIR with "
                            "--root DIR)",
                        Concern::kStorage});
  } else {
    CheckDirectories(root, &problems);
  }
  CheckAudioFormat(requirements.audio_format_needed, root, &problems);
  CheckTimeZone(&problems);
  CheckSettings(&problems);
  if (requirements.prepax_registered) CheckPrepaxRegistration(root, &problems);
  for (Component component : requirements.components) CheckComponent(component, root, &problems);
  return problems;
}

}  // namespace ringwell::setup
