// The steps of "ringwell-setup": each does its part of the installation,
// leaves alone what is already as it should be, prints a line on standard
// output for what it did, and on failure prints why on standard error and
// returns false. The checks before any change (Validate) make sure that a
// refused set-up changes nothing.
//
// Thread-safety: the steps run one after the other on the main thread.
#pragma once

#include <cstdint>
#include <string>

namespace ringwell::setup {

struct SetupOptions {
  std::string root;                // empty: RootDir, else /var/spool/ringwell/
  std::int64_t audio_format = -1;  // -1: AudioFormat, else 49
  std::string group = "ringwell";
  bool systemd = false;
  std::string bin_dir;  // where prepax and ringwell-host are, ending with "/"
  std::string lib_dir;  // where the component libraries are, ending with "/"
};

// Fills in the storage root and audio format to use, and checks everything
// that can be known before a change: the registry reads, the root is an
// absolute path that is (or can be) a directory, the format is in the table,
// the libraries and programs are there, the unit directory is usable.
bool Validate(SetupOptions* options);
// Writes RootDir and AudioFormat where they differ (the set-up tool's drop-in).
bool WriteSettings(const SetupOptions& options);
// Makes the storage root and its subdirectories, owned by the group.
bool MakeStorage(const SetupOptions& options);
// Registers the component libraries and the daemon (as a service with
// --systemd), and with --systemd writes the host's unit.
bool RegisterComponents(const SetupOptions& options);
bool InstallHostUnit(const SetupOptions& options);

// How the steps speak: Say prints "ringwell-setup: what" on standard output
// (flushed, so it comes in order with what the programs it runs print);
// Refuse prints "ringwell-setup: why" on standard error and returns false.
void Say(const std::string& what);
bool Refuse(const std::string& why);

// The systemd unit directory: $RINGWELL_UNIT_DIR, else /etc/systemd/system/.
std::string UnitDirectory();
// The unit prepax.service of the Debian package (in /lib/systemd/system or
// /usr/lib/systemd/system; $RINGWELL_PACKAGE_UNIT_DIR names another directory),
// empty when there is none. The
// package's units run the services as the ringwell user with the host's
// configuration in /etc/ringwell; units in /etc/systemd/system would hide them.
std::string PackagedUnit();

}  // namespace ringwell::setup
