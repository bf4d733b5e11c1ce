#include "corpus.h"

#include <sndfile.h>

#include <fstream>
#include <sstream>

#include "amd/answer_detector.h"

namespace ringwell::host::amd::testing {
namespace {

std::optional<double> Seconds(const std::string& field) {
  if (field == "-") return std::nullopt;
  return std::stod(field);
}

bool ReadSamples(const std::string& path, std::vector<std::int16_t>* samples) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return false;
  const bool usable = info.samplerate == 8000 && info.channels == 1;
  if (usable) {
    samples->resize(static_cast<std::size_t>(info.frames));
    samples->resize(static_cast<std::size_t>(sf_readf_short(file, samples->data(), info.frames)));
  }
  sf_close(file);
  return usable;
}

}  // namespace

std::vector<Recording> LoadCorpus(const std::string& dir, std::string* error) {
  std::ifstream labels(dir + "/labels.tsv");
  if (!labels) {
    *error = "cannot read " + dir + "/labels.tsv";
    return {};
  }
  std::vector<Recording> corpus;
  std::string line;
  while (std::getline(labels, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Recording r;
    std::string speech_end, beep_end;
    std::getline(fields, r.name, '\t');
    std::getline(fields, r.who, '\t');
    std::getline(fields, speech_end, '\t');
    std::getline(fields, beep_end, '\t');
    std::getline(fields, r.description);
    r.path = dir + "/" + r.name + ".wav";
    r.speech_end = Seconds(speech_end);
    r.beep_end = Seconds(beep_end);
    if (!ReadSamples(r.path, &r.samples)) {
      *error = "cannot read " + r.path + " as 8 kHz mono audio";
      return {};
    }
    corpus.push_back(std::move(r));
  }
  return corpus;
}

Classified Classify(const std::vector<std::int16_t>& samples, const MachineDetection& settings,
                    double message_seconds) {
  AnswerDetector detector(settings);
  Classified classified;
  // After the recording the callee is silent, as a line hears a callee that
  // stopped sending; for at most 10 s.
  constexpr std::size_t kPacket = 160;
  const std::size_t end = samples.size() + 10 * 8000;
  const std::vector<std::int16_t> silence(kPacket);
  bool over = false;
  for (std::size_t at = 0; at < end; at += kPacket) {
    if (at < samples.size()) {
      detector.Feed(std::span(samples).subspan(at, std::min(kPacket, samples.size() - at)));
    } else {
      detector.Feed(silence);
    }
    if (detector.GreetingOver() && !over) {
      classified.starts.push_back({detector.seconds(), detector.GreetingEnd(), std::nullopt});
    } else if (!detector.GreetingOver() && over) {
      classified.starts.back().stopped = detector.resumed();
    }
    over = detector.GreetingOver();
    // A person or Unknown hears the message at once; a machine's greeting
    // is followed while the message plays.
    if (over && (detector.decision()->who != AnsweredBy::kMachine ||
                 detector.seconds() >= classified.starts.back().at + message_seconds - 1e-6)) {
      break;
    }
  }
  if (over) classified.greeting_over = classified.starts.back().at;
  classified.answer = detector.Result();
  return classified;
}

std::string CorpusDir() { return RINGWELL_AMD_CORPUS_DIR; }

}  // namespace ringwell::host::amd::testing
