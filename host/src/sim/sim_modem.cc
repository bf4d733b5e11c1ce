#include "sim/sim_modem.h"

#include <atomic>
#include <cmath>

#include "device_boundary.h"
#include "request_documents.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"
#include "sim/heard_audio.h"
#include "sim/simulated_walk.h"

namespace ringwell::host {
namespace {

void NoAnswer(CallRecord* record, int rings) {
  record->answer = "NoAnswer";
  record->status = "NoAnswer";
  record->protocol.push_back("Rang " + std::to_string(rings) + " times; no answer");
}

}  // namespace

SimModem::SimModem(int line, std::shared_ptr<Scenario> scenario,
                   std::shared_ptr<SimulatedTime> time, std::string heard_dir,
                   MachineDetection detection)
    : line_(line),
      scenario_(std::move(scenario)),
      time_(std::move(time)),
      heard_dir_(std::move(heard_dir)),
      detection_(detection) {}

HRESULT SimModem::Describe(std::string* a_pbstrDescription) {
  if (a_pbstrDescription == nullptr) return E_POINTER;
  *a_pbstrDescription = "Simulated modem line " + std::to_string(line_);
  return S_OK;
}

HRESULT SimModem::MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                           std::string* result) {
  if (!CallArgumentsGiven(number, request_xml, wav_dir, result)) return E_POINTER;
  return DeviceCall([&] {
    {
      MutexLock lock(call_mutex_);
      in_call_ = true;
      cut_ = false;
    }
    struct Over {
      SimModem* modem;
      ~Over() {
        MutexLock lock(modem->call_mutex_);
        modem->in_call_ = false;
      }
    } over{this};
    double seconds = 0;
    CallRecord record = Call(number, request_xml, wav_dir, &seconds);
    time_->Pass(seconds, &cut_);
    if (cut_) {
      record.answer = record.status = "Failed";
      record.error = "the host hung up";
      record.protocol.push_back("Hung up by the host");
    }
    *result = CallResultXml(record);
    return S_OK;
  });
}

HRESULT SimModem::HangUp() {
  {
    MutexLock lock(call_mutex_);
    if (!in_call_) return S_OK;
    cut_ = true;
  }
  time_->Wake();
  return S_OK;
}

CallRecord SimModem::Call(const std::string& number, std::string_view request_xml,
                          const std::string& wav_dir, double* seconds) {
  CallRecord record;
  record.time = OleDateNow();
  record.protocol.push_back("Simulated line " + std::to_string(line_) + " dialled " + number);
  const Behaviour behaviour = scenario_->NextAttempt(number);
  // Shared with the other lines calling for the same request.
  const std::shared_ptr<const xml::Document> request = SharedRequestDocument(request_xml);
  if (!request) {
    record.answer = record.status = "Failed";
    record.error = "The request could not be read";
    return record;
  }
  const pugi::xml_node root = request->FirstChild();
  const int rings_allowed = RequestCount(root, "NumberOfRings", 7);
  switch (behaviour.outcome) {
    case Outcome::kBusy:
      *seconds = 3;
      record.answer = record.status = "Busy";
      record.protocol.push_back("Busy");
      return record;
    case Outcome::kFailure:
      *seconds = 1;
      record.answer = record.status = "Failed";
      record.error = behaviour.error;
      record.protocol.push_back("Failed: " + behaviour.error);
      return record;
    case Outcome::kNoAnswer:
      *seconds = rings_allowed * kRingSeconds;
      NoAnswer(&record, rings_allowed);
      return record;
    case Outcome::kAnswer:
      break;
  }
  if (behaviour.rings > rings_allowed) {
    *seconds = rings_allowed * kRingSeconds;
    NoAnswer(&record, rings_allowed);
    return record;
  }
  record.answer = "Answered";
  record.status = "Completed";
  record.protocol.push_back("Answered after " + std::to_string(behaviour.rings) + " ring" +
                            (behaviour.rings == 1 ? "" : "s"));

  auto part_length = [&](const MessagePart& part, std::string* unplayable) {
    if (part.type != "File") return EstimatedSpeechSeconds(part.content);
    if (!IsPlainName(part.content)) {
      *unplayable = "not a plain file name";
      return 0.0;
    }
    const auto length = WavSeconds(wav_dir + part.content);
    if (!length) *unplayable = "missing or unreadable";
    return length.value_or(0.0);
  };
  std::string problem;
  const MachineDetection detection = RequestMachineDetection(root, detection_, &problem);
  if (!problem.empty()) record.protocol.push_back(problem);
  const CallWalk walk =
      WalkCallTree(xml::ChildElement(root, "CallTree"), behaviour,
                   RequestCount(root, "MaxGreetingDuration", 30), part_length, detection);
  record.protocol.insert(record.protocol.end(), walk.protocol.begin(), walk.protocol.end());
  if (walk.answered_by) record.answered_by = AnsweredByWord(walk.answered_by->who);
  if (walk.not_answered) record.answer = record.status = "NoAnswer";
  FailUnplayed(walk, &record);
  record.duration = static_cast<int>(std::lround(walk.seconds));
  *seconds = behaviour.rings * kRingSeconds + walk.seconds;

  if (!heard_dir_.empty()) {
    static std::atomic<unsigned> sequence{0};
    std::vector<std::string> files;
    for (const MessagePart& part : walk.heard) {
      if (part.type == "File" && IsPlainName(part.content)) files.push_back(wav_dir + part.content);
    }
    const std::string output = heard_dir_ + "/" + SafeFileName(root.attribute("ID").value()) + "-" +
                               SafeFileName(number) + "-" + std::to_string(++sequence) + ".wav";
    std::vector<std::string> left_out;
    std::string error;
    if (JoinWavFiles(files, output, &left_out, &error)) {
      record.protocol.push_back("Heard audio: " + output);
    } else {
      record.protocol.push_back("No heard audio: " + error);
    }
  }
  return record;
}

}  // namespace ringwell::host
