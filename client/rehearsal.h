// Rehearsals of a request: the request file the toolkit would write for it,
// without writing anything below the storage root, and the audio a recipient
// will hear, made by the preprocessing daemon's own speech (ringwell_speech)
// and the audio converter it uses (Wavshift, created through the runtime).
//
// Thread-safety: a rehearsal runs on the thread that owns the toolkit objects;
// speaking is serialised by the process's speech engine.
#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "ringwell/kel/kel.h"

namespace ringwell::kel::client {

// The request file SubmitRequest would write for `request`. The request is
// submitted to a private scratch root (below $TMPDIR), read back and the
// scratch root removed: every check of the toolkit runs, and nothing reaches
// the storage root. Throws Failure for a request the toolkit refuses.
std::string RehearsedRequestFile(IKelRequest* request);

// One message part of a call tree, as the daemon will make its audio.
struct PartToHear {
  std::string where;    // "message" or the keys that lead to it: "after key 1, then 2"
  int number = 0;       // its place in its message, from 1
  std::string file;     // a file name telling where it is: "message-part1.wav", "key1-part2.wav"
  bool spoken = true;   // a text to speak, else a recording
  std::string content;  // the text, or the recording's stored name
  std::optional<std::string> voice;  // the part's Voice, if any
  std::int32_t volume = 0;
  std::int32_t rate = 0;
};

// The message parts of a request file in the order of its call tree: the
// first message, then each response's, depth first. Response keys that are
// not plain keypad keys, or that repeat, are named by their place
// ("response2").
std::vector<PartToHear> PartsToHear(pugi::xml_node request);

// The configured telephony audio format (AudioFormat). Throws Failure naming
// the registry file when none is configured.
std::int32_t TelephonyFormat();

// Speaks `text` into the wav file `path` as the daemon speaks a text part
// (volume and rate in the request's units; -1000 for the engine's rate).
// Throws Failure with the reason.
void SpeakInto(const std::string& path, const std::string& text,
               const std::optional<std::string>& voice, std::int32_t volume, std::int32_t rate,
               std::int32_t format);

// Copies the recording `source` to `path` and converts it into `format` as
// the daemon does. Throws Failure with the reason.
void ConvertInto(const std::string& path, const std::string& source, std::int32_t format);

}  // namespace ringwell::kel::client
