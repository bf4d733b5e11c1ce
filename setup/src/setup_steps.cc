#include "setup_steps.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ringwell/common/error_info.h"
#include "ringwell/common/files.h"
#include "ringwell/common/library_registration.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/setup/checks.h"
#include "ringwell/wavshift/audio_format.h"

extern char** environ;

namespace ringwell::setup {

bool Refuse(const std::string& why) {
  std::fprintf(stderr, "ringwell-setup: %s\n", why.c_str());
  return false;
}

void Say(const std::string& what) {
  std::printf("ringwell-setup: %s\n", what.c_str());
  std::fflush(stdout);
}

namespace {

constexpr char kDefaultRoot[] = "/var/spool/ringwell/";
constexpr std::uint32_t kDefaultAudioFormat = 49;  // 8 kHz mu-law mono
constexpr char kDropIn[] = "ringwell-setup";

std::optional<registry::Value> Configured(const char* name) {
  std::optional<registry::Value> value;
  registry::Read([&](const registry::Tree& tree) { value = tree.Query(kConfigKey, name); });
  return value;
}

// Runs a program with this process's outputs; its exit code, or -1.
int RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::fflush(stdout);
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool UnitDirectoryUsable() {
  const std::string dir = UnitDirectory();
  if (const std::string packaged = PackagedUnit();
      !packaged.empty() && dir == "/etc/systemd/system/") {
    return Refuse("the package's units are installed (" + packaged +
                  "); leave out --systemd and start them with: systemctl enable --now prepax "
                  "ringwell-host");
  }
  if (!IsDirectory(dir)) return Refuse("the unit directory " + dir + " does not exist");
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return Refuse("the unit directory " + dir + " is not writable; run ringwell-setup as root");
  }
  return true;
}

}  // namespace

std::string PackagedUnit() {
  std::vector<std::string> dirs = {"/lib/systemd/system/", "/usr/lib/systemd/system/"};
  if (const char* env = std::getenv("RINGWELL_PACKAGE_UNIT_DIR"); env != nullptr && *env != '\0') {
    dirs = {std::string(env) + "/"};
  }
  for (const std::string& dir : dirs) {
    if (IsRegularFile(dir + "prepax.service")) return dir + "prepax.service";
  }
  return {};
}

std::string UnitDirectory() {
  const char* env = std::getenv("RINGWELL_UNIT_DIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/etc/systemd/system";
  if (dir.back() != '/') dir += '/';
  return dir;
}

bool Validate(SetupOptions* options) {
  std::string where;
  if (Failed(registry::Check(&where))) {
    return Refuse("the registry cannot be used: " + where + "; correct it first");
  }
  if (options->root.empty()) {
    const auto root = Configured(kRootDirValue);
    options->root =
        root && std::holds_alternative<std::string>(*root) && !std::get<std::string>(*root).empty()
            ? std::get<std::string>(*root)
            : kDefaultRoot;
  }
  options->root = NormaliseRoot(options->root);
  if (options->root[0] != '/')
    return Refuse("the storage root " + options->root + " is not an absolute path");
  const std::string root_path = options->root.substr(0, options->root.size() - 1);
  if (FileExists(root_path) && !IsDirectory(root_path)) {
    return Refuse("the storage root " + options->root + " exists and is not a directory");
  }
  const bool audio_format_given = options->audio_format >= 0;
  if (options->audio_format < 0) {
    const auto format = Configured(kAudioFormatValue);
    options->audio_format = format && std::holds_alternative<std::uint32_t>(*format)
                                ? std::get<std::uint32_t>(*format)
                                : kDefaultAudioFormat;
  }
  try {
    audio::FindAudioFormat(static_cast<std::int32_t>(options->audio_format));
  } catch (const ComError& e) {
    const auto info = e.info();
    // A value of the hand-written file is changed there: the option cannot.
    std::string hand_written;
    registry::Read([&](const registry::Tree& tree) {
      for (const auto& value : tree.Values(kConfigKey)) {
        if (value.hand_written && EqualsIgnoringCase(value.name, kAudioFormatValue)) {
          hand_written = value.file;
        }
      }
    });
    const std::string fix =
        !hand_written.empty() && !audio_format_given
            ? "set AudioFormat = 49 (8 kHz mu-law) or another stream format number 4-68 "
              "except 40 in " +
                  hand_written
            : "give --audio-format with a stream format number 4-68 except 40 (49: 8 kHz "
              "mu-law)";
    return Refuse("the audio format " + std::to_string(options->audio_format) + " is unknown" +
                  (info ? ": " + info->description : std::string()) + "; " + fix);
  }
  for (Component component : AllComponents()) {
    const std::string library = options->lib_dir + InfoOf(component).library;
    if (!IsRegularFile(library)) {
      return Refuse("the component library " + library + " is missing; give --lib-dir");
    }
  }
  for (const char* program : {"prepax", "ringwell-host"}) {
    if (!IsRegularFile(options->bin_dir + program)) {
      return Refuse("the program " + options->bin_dir + program + " is missing; give --bin-dir");
    }
  }
  return !options->systemd || UnitDirectoryUsable();
}

bool WriteSettings(const SetupOptions& options) {
  const registry::DropInScope scope(kDropIn);
  const auto format = static_cast<std::uint32_t>(options.audio_format);
  std::vector<std::string> written;
  const HRESULT hr = registry::Edit([&](registry::Tree& tree) {
    // Only what differs: a value the hand-written file already gives stays there.
    if (tree.Query(kConfigKey, kRootDirValue) != registry::Value(options.root)) {
      tree.Set(kConfigKey, kRootDirValue, options.root);
      written.push_back(std::string(kRootDirValue) + " = \"" + options.root + "\"");
    }
    if (tree.Query(kConfigKey, kAudioFormatValue) != registry::Value(format)) {
      tree.Set(kConfigKey, kAudioFormatValue, format);
      written.push_back(std::string(kAudioFormatValue) + " = " + std::to_string(format));
    }
  });
  if (Failed(hr)) {
    return Refuse("cannot write the settings: " + registry::LastProblem() +
                  " (or leave out the option that differs)");
  }
  if (written.empty()) {
    Say("settings kept: RootDir = \"" + options.root +
        "\", AudioFormat = " + std::to_string(format) + " (" +
        audio::FindAudioFormat(static_cast<std::int32_t>(format)).Name() + ")");
  }
  for (const std::string& line : written) Say("wrote " + line + " to " + registry::OwnDropInPath());
  return true;
}

bool RegisterComponents(const SetupOptions& options) {
  for (Component component : AllComponents()) {
    std::string report;
    if (Failed(RegisterLibraryFile(options.lib_dir + InfoOf(component).library, false, &report))) {
      return Refuse(report);
    }
    Say(report);
  }
  const int code =
      RunProgram({options.bin_dir + "prepax", options.systemd ? "-Service" : "-RegServer"});
  if (code != 0)
    return Refuse("registering the daemon failed (prepax exited with " + std::to_string(code) +
                  ")");
  return true;
}

bool InstallHostUnit(const SetupOptions& options) {
  std::string unit =
      "[Unit]\n"
      "Description=Ringwell reference telephony host: simulated lines and pager\n"
      "After=local-fs.target prepax.service\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" +
      options.bin_dir +
      "ringwell-host --lines 1,2,3,4\n"
      "Restart=on-failure\n"
      // A refused configuration exits with 1: no restart loop, the start fails.
      "RestartPreventExitStatus=1 2\n";
  if (const char* store = std::getenv("RINGWELL_REGISTRY"); store != nullptr && *store != '\0') {
    unit += "Environment=RINGWELL_REGISTRY=" + std::string(store) + "\n";
  }
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  const std::string path = UnitDirectory() + "ringwell-host.service";
  std::string current;
  if (Succeeded(ReadWholeFile(path, &current)) && current == unit) {
    Say("kept the unit " + path);
    return true;
  }
  if (HRESULT hr = WriteFileAtomically(path, unit); Failed(hr)) {
    return Refuse("cannot write the unit " + path + ": " + ErrorText(hr));
  }
  Say("installed the unit " + path);
  return true;
}

}  // namespace ringwell::setup
