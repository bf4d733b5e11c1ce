// The open files a host with many SIP lines needs. Every call in progress
// holds two sockets (RTP and RTCP) beside the SIP transport and the host's
// own files, while a process gets 1024 by default (the soft limit; systemd
// sets the hard one far higher) and libre's loop takes no descriptor beyond
// the number it was set up for. So the host raises its soft limit to what
// its lines need, and sets libre's loop up for the limit in force.
//
// Thread-safety: RaiseOpenFileLimit changes the process's limit; call it
// before the threads that open files start. OpenFileLimit is safe anywhere.
#pragma once

#include <cstddef>

namespace ringwell::host::sip {

// Open files enough for `lines` calls at once and the rest of the host.
long OpenFilesFor(std::size_t lines);

// Raises the soft limit on open files to `wanted` as far as the hard limit
// allows; never lowers it. Returns the soft limit in force afterwards.
long RaiseOpenFileLimit(long wanted);

// The soft limit on open files in force.
long OpenFileLimit();

}  // namespace ringwell::host::sip
