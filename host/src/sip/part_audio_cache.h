// SharedPartAudio: the audio of a message part, loaded once and shared by
// every call that plays it.
//
// A message part's wav file is the same for every recipient of a request,
// yet each call read (and, for a file not in the call's codec, converted)
// its own copy and kept it while the message played: with hundreds of lines
// playing a long message that is tens of kilobytes a second of message per
// line. Here the lines share one read-only copy per file and codec. It is
// used as long as the file stays the same file: each call looks at the file
// (never through a link) and compares device, inode, size, modification and
// change times with what they were when the copy was made, so a file that
// was replaced or rewritten is loaded again. The most recently used copies
// are kept; one that is dropped lives on for the calls still playing it.
//
// Thread-safety: may be called from any thread; the audio handed out is
// never changed. TakeFrame is a pure function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sip_audio.h"

namespace ringwell::host::sip {

using PartAudio = std::shared_ptr<const std::vector<std::uint8_t>>;

// The audio of the wav file `path` as bytes of `codec` (LoadPartAudio),
// shared; nullptr with `error` when it cannot be loaded.
PartAudio SharedPartAudio(const std::string& path, Codec codec, std::string* error);

// Copies the next bytes of the parts `parts`, from byte *at of part *part on,
// into `frame`, going on into the next parts as needed, and moves *part and
// *at past them. Returns how many bytes it copied: less than the frame only
// at the end of the last part.
std::size_t TakeFrame(const std::vector<PartAudio>& parts, std::size_t* part, std::size_t* at,
                      std::span<std::uint8_t> frame);

// How many part audios SharedPartAudio keeps at most.
inline constexpr std::size_t kKeptPartAudios = 16;

}  // namespace ringwell::host::sip
