#include "ringwell/prepax/speech_engine.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include "ringwell/wavshift/audio_error.h"

namespace ringwell::prepax {
namespace {

constexpr char kEnumFailed[] = "SpEnumTokens failed";
constexpr char kSetVoiceFailed[] = "SetVoice failed";
constexpr char kVariantPrefix[] = "!v/";
constexpr unsigned char kGenderMale = 1;
constexpr unsigned char kGenderFemale = 2;

// Set by InterruptSpeech and CutSpeechShort, read by the callback.
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_cut{false};
std::atomic<std::uint32_t> g_sample_rate{0};

// Everything below is guarded by g_engine.
std::mutex g_engine;
bool g_initialized = false;
const SampleSink* g_sink = nullptr;
bool g_sink_stopped = false;

// Returning 1 makes espeak-ng abandon the text.
int HandOnSamples(short* wav, int count, espeak_EVENT*) {
  if (g_interrupted.load(std::memory_order_relaxed) || g_cut.load(std::memory_order_relaxed)) {
    return 1;
  }
  if (wav != nullptr && count > 0 && g_sink != nullptr &&
      !(*g_sink)(reinterpret_cast<const std::int16_t*>(wav), static_cast<std::size_t>(count))) {
    g_sink_stopped = true;
    return 1;
  }
  return 0;
}

HRESULT InitializeLocked() {
  if (g_initialized) return S_OK;
  const int rate =
      espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
  if (rate <= 0) return E_FAIL;
  espeak_SetSynthCallback(&HandOnSamples);
  g_sample_rate = static_cast<std::uint32_t>(rate);
  g_initialized = true;
  return S_OK;
}

void SetDefaultVoice() {
  if (espeak_SetVoiceByName(kDefaultVoice) != EE_OK) {
    audio::ThrowWithReason(E_FAIL, std::string("The default voice \"") + kDefaultVoice +
                                       "\" of espeak-ng cannot be set.");
  }
}

// The name to set for the voice or variant called exactly `wanted`, if any.
std::optional<std::string> FindVoice(const std::string& wanted,
                                     std::vector<std::string>* failures) {
  const espeak_VOICE** voices = espeak_ListVoices(nullptr);
  if (voices == nullptr) {
    failures->push_back(kEnumFailed);
    return std::nullopt;
  }
  for (; *voices != nullptr; ++voices) {
    if ((*voices)->name != nullptr && wanted == (*voices)->name) return wanted;
  }
  espeak_VOICE spec{};
  spec.languages = "variant";
  const espeak_VOICE** variants = espeak_ListVoices(&spec);
  if (variants == nullptr) {
    failures->push_back(kEnumFailed);
    return std::nullopt;
  }
  for (; *variants != nullptr; ++variants) {
    const espeak_VOICE& variant = **variants;
    if (variant.name == nullptr || wanted != variant.name || variant.identifier == nullptr)
      continue;
    std::string file = variant.identifier;
    if (file.rfind(kVariantPrefix, 0) == 0) file.erase(0, sizeof kVariantPrefix - 1);
    return std::string(kDefaultVoice) + "+" + file;
  }
  return std::nullopt;
}

void SelectVoice(const std::optional<std::string>& voice, std::vector<std::string>* failures) {
  SetDefaultVoice();
  if (!voice) return;
  int status = EE_OK;
  if (*voice == "Male" || *voice == "Female") {
    espeak_VOICE spec{};
    spec.languages = kDefaultVoice;
    spec.gender = *voice == "Male" ? kGenderMale : kGenderFemale;
    status = espeak_SetVoiceByProperties(&spec);
  } else if (const std::optional<std::string> name = FindVoice(*voice, failures)) {
    status = espeak_SetVoiceByName(name->c_str());
  }
  if (status != EE_OK) {
    failures->push_back(kSetVoiceFailed);
    SetDefaultVoice();
  }
}

void SetParameter(espeak_PARAMETER parameter, std::optional<int> value, const char* what) {
  const int chosen = value.value_or(espeak_GetParameter(parameter, 0));
  if (espeak_SetParameter(parameter, chosen, 0) != EE_OK) {
    audio::ThrowWithReason(
        E_FAIL, std::string("espeak-ng refused the ") + what + " " + std::to_string(chosen) + ".");
  }
}

// Whether a piece of the text ends a sentence or a line.
bool EndsSentence(std::string_view chunk) {
  if (!chunk.empty() && chunk.back() == '\n') return true;
  const std::size_t last = chunk.find_last_not_of(" \t\r");
  return last != std::string_view::npos &&
         (chunk[last] == '.' || chunk[last] == '!' || chunk[last] == '?');
}

}  // namespace

std::optional<int> EspeakVolume(std::int32_t volume) {
  if (volume < 0 || volume > 100) return std::nullopt;
  return volume;  // 100, the interface's full volume, is espeak-ng's normal one
}

std::optional<int> EspeakRate(std::int32_t rate) {
  if (rate < -10 || rate > 10) return std::nullopt;
  const double wpm = espeakRATE_NORMAL * std::pow(3.0, rate / 10.0);
  return std::clamp(static_cast<int>(std::lround(wpm)), espeakRATE_MINIMUM, espeakRATE_MAXIMUM);
}

HRESULT InitializeEngine() {
  std::lock_guard lock(g_engine);
  return InitializeLocked();
}

std::uint32_t EngineSampleRate() { return g_sample_rate; }

bool IsKnownVoice(const std::string& voice) {
  if (voice == "Male" || voice == "Female") return true;
  std::lock_guard lock(g_engine);
  if (Failed(InitializeLocked())) {
    audio::ThrowWithReason(E_FAIL, "The espeak-ng engine cannot be initialised.");
  }
  std::vector<std::string> failures;
  const bool known = FindVoice(voice, &failures).has_value();
  if (!known && !failures.empty()) {
    audio::ThrowWithReason(E_FAIL, "The voices of espeak-ng cannot be listed.");
  }
  return known;
}

void InterruptSpeech() { g_interrupted = true; }
void ResumeSpeech() { g_interrupted = false; }
void CutSpeechShort() { g_cut = true; }
void ResumeCutSpeech() { g_cut = false; }

std::vector<std::string_view> SplitIntoChunks(std::string_view text) {
  std::vector<std::string_view> chunks;
  while (text.size() > kChunkBytes) {
    const std::string_view window = text.substr(0, kChunkBytes);
    std::size_t cut = std::string_view::npos;
    for (std::size_t i = window.size() - 1; i > 0; --i) {
      const char c = window[i - 1];
      if ((c == '.' || c == '!' || c == '?' || c == '\n') &&
          (window[i] == ' ' || window[i] == '\n')) {
        cut = i;
        break;
      }
    }
    if (cut == std::string_view::npos) cut = window.rfind(' ');
    if (cut == std::string_view::npos || cut == 0) {
      // No space at all: cut between two characters.
      cut = window.size();
      while (cut > 1 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    }
    chunks.push_back(text.substr(0, cut));
    text.remove_prefix(cut);
  }
  if (!text.empty()) chunks.push_back(text);
  return chunks;
}

SpeechResult Speak(const SpeechRequest& request, const SampleSink& sink) {
  std::lock_guard lock(g_engine);
  if (Failed(InitializeLocked())) {
    audio::ThrowWithReason(E_FAIL, "The espeak-ng engine cannot be initialised.");
  }
  SpeechResult result;
  SelectVoice(request.voice, &result.voice_failures);
  if (const espeak_VOICE* current = espeak_GetCurrentVoice();
      current != nullptr && current->identifier != nullptr) {
    result.voice = current->identifier;
  }
  SetParameter(espeakVOLUME, request.volume, "volume");
  SetParameter(espeakRATE, request.rate, "rate");

  // Another user of libespeak-ng in this process may have set its own.
  espeak_SetSynthCallback(&HandOnSamples);
  g_sink = &sink;
  g_sink_stopped = false;
  espeak_ERROR error = EE_OK;
  const std::vector<std::string_view> chunks = SplitIntoChunks(request.text);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (g_interrupted || g_cut || g_sink_stopped) break;
    const std::string piece(chunks[i]);
    // A piece that ends a sentence, and the text, end with the pause that
    // ends a sentence (as the espeak-ng program speaks): sentences do not
    // run into each other where the text was cut, and a message does not
    // stop on its last sound.
    const bool pause = i + 1 == chunks.size() || EndsSentence(chunks[i]);
    error = espeak_Synth(piece.c_str(), piece.size() + 1, 0, POS_CHARACTER, 0,
                         espeakCHARS_UTF8 | (pause ? espeakENDPAUSE : 0), nullptr, nullptr);
    if (error != EE_OK) break;
  }
  g_sink = nullptr;
  result.stopped_by_sink = g_sink_stopped;
  if (g_interrupted) audio::ThrowWithReason(E_ABORT, "The speech was interrupted by a stop.");
  if (g_cut) {
    audio::ThrowWithReason(
        E_ABORT, "The speech was cut short: the daemon lost the lead of the shared Inbox.");
  }
  if (error != EE_OK) {
    audio::ThrowWithReason(E_FAIL, "espeak-ng cannot speak the text (error " +
                                       std::to_string(static_cast<int>(error)) + ").");
  }
  return result;
}

}  // namespace ringwell::prepax
