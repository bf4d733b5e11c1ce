// The process's espeak-ng engine (the speech of the preprocessing daemon and
// of kel's rehearsals; a static library both link), driven in-process through libespeak-ng:
// initialised once per process (synchronous output, samples handed by a
// callback to the caller's sink as they are made) and used by one thread at a
// time behind a process-wide mutex. Every call sets the voice, volume and rate
// it needs, so nothing of one call carries over into the next. Long texts are
// spoken in chunks of at most kChunkBytes, split at sentence ends where there
// are any, so neither the text nor the audio is ever held whole.
//
// Voice choice: "Male" and "Female" (exact case) ask espeak-ng for the
// default language spoken with that gender, which picks a voice of that
// gender or the default voice with a variant of that gender; any other text
// names a voice or a variant by its exact name (a variant is applied to the
// default voice); nothing matching leaves the default voice.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/hresult.h"

namespace ringwell::prepax {

// The voice used when none is asked for or none matches.
inline constexpr char kDefaultVoice[] = "en";
// The largest piece of text given to the engine at once.
inline constexpr std::size_t kChunkBytes = 4096;

// espeak-ng's volume (0-200, 100 normal) for a volume 0-100 of the speech
// interface; nullopt outside 0-100 (the engine's default is used).
std::optional<int> EspeakVolume(std::int32_t volume);
// espeak-ng's rate in words per minute for a rate -10..10 of the speech
// interface (each step a factor of 3^(1/10), 0 the engine's normal rate,
// limited to espeak-ng's 80-450); nullopt outside -10..10.
std::optional<int> EspeakRate(std::int32_t rate);

// Initialises the engine if that has not happened yet. Fails with E_FAIL
// when espeak-ng cannot be initialised (for example without its data); a
// later call tries again.
HRESULT InitializeEngine();
// The engine's sample rate in Hz (0 before it is initialised).
std::uint32_t EngineSampleRate();

// Whether the engine speaks `voice` as asked rather than in the default
// voice: "Male" or "Female" (exact case), or the exact name of an installed
// voice or variant, the same choice Speak makes. Throws ComError(E_FAIL) with
// the reason when the engine cannot be initialised or its voices cannot be
// listed.
bool IsKnownVoice(const std::string& voice);

// Stops the speech under way, if any, and refuses every later one: the
// daemon's stop. Only sets a flag, so it may be called from any thread.
void InterruptSpeech();
// Lets speech run again after InterruptSpeech (for tests).
void ResumeSpeech();
// Stops the speech under way, if any, and every later one until
// ResumeCutSpeech: a daemon that lost the lead of a shared Inbox (a daemon
// that leads again resumes). Only sets a flag, so it may be called from any
// thread.
void CutSpeechShort();
void ResumeCutSpeech();
// Receives the audio as it is made: `count` mono 16-bit samples at
// EngineSampleRate(). Returning false stops the speech.
using SampleSink = std::function<bool(const std::int16_t* samples, std::size_t count)>;

struct SpeechRequest {
  std::string text;                  // UTF-8
  std::optional<std::string> voice;  // nullopt: the default voice
  std::optional<int> volume;         // espeak-ng units; nullopt: the default
  std::optional<int> rate;           // words per minute; nullopt: the default
};

struct SpeechResult {
  // The voice spoken with, as espeak-ng names it ("gmw/en", "gmw/en+f2").
  std::string voice;
  // Failures of the voice choice that did not stop the speech, in the
  // system's words: "SpEnumTokens failed" (voices could not be listed),
  // "SetVoice failed" (a matching voice could not be set).
  std::vector<std::string> voice_failures;
  // The sink stopped the speech.
  bool stopped_by_sink = false;
};

// Speaks `request.text` into `sink`. Throws ComError(E_FAIL) with the reason
// when the engine is not initialised or cannot speak, and ComError(E_ABORT)
// when InterruptSpeech stopped it.
SpeechResult Speak(const SpeechRequest& request, const SampleSink& sink);
// The pieces `text` is spoken in (each at most kChunkBytes, whole UTF-8
// characters, split after the last sentence end, else the last space).
std::vector<std::string_view> SplitIntoChunks(std::string_view text);

}  // namespace ringwell::prepax
