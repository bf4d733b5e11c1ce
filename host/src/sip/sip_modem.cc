#include "sip_modem.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <tuple>

#include "call_tree.h"
#include "device_boundary.h"
#include "open_files.h"
#include "request_documents.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/xml.h"
#include "sip_call.h"
#include "sip_events.h"

namespace ringwell::host::sip {
namespace {

void Finish(CallRecord* record, const char* answer, const char* status) {
  record->answer = answer;
  record->status = status;
}

// "Waited 2.4 s for the trunk (at most 30 calls at once, 5 set-ups a second)"
std::string TrunkWait(const TrunkLimits& limits, Trunk::Clock::duration waited) {
  std::string limit;
  if (limits.max_calls > 0)
    limit = "at most " + std::to_string(limits.max_calls) + " calls at once";
  if (limits.max_call_rate > 0) {
    char rate[64];
    std::snprintf(rate, sizeof rate, "%g set-ups a second", limits.max_call_rate);
    limit += (limit.empty() ? "" : ", ") + std::string(rate);
  }
  char text[160];
  std::snprintf(text, sizeof text, "Waited %.1f s for the trunk (%s)",
                std::chrono::duration<double>(waited).count(), limit.c_str());
  return text;
}

}  // namespace

SipModem::SipModem(int line, SipStack& stack, MachineDetection detection)
    : line_(line), stack_(stack), detection_(detection) {}

HRESULT SipModem::Describe(std::string* a_pbstrDescription) {
  if (a_pbstrDescription == nullptr) return E_POINTER;
  *a_pbstrDescription = "SIP line " + std::to_string(line_);
  return S_OK;
}

HRESULT SipModem::MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                           std::string* result) {
  if (!CallArgumentsGiven(number, request_xml, wav_dir, result)) return E_POINTER;
  return DeviceCall([&] {
    *result = CallResultXml(Call(number, request_xml, wav_dir));
    return S_OK;
  });
}

void SipModem::Stop() {
  stopping_.request_stop();
  MutexLock lock(mutex_);
  stopped_ = true;
  if (current_ != nullptr) current_->Abort();
}

HRESULT SipModem::HangUp() {
  MutexLock lock(mutex_);
  if (current_ != nullptr) current_->Abort();
  return S_OK;
}

CallRecord SipModem::Call(const std::string& number, std::string_view request_xml,
                          const std::string& wav_dir) {
  CallRecord record;
  record.time = OleDateNow();
  record.protocol.push_back("SIP line " + std::to_string(line_) + " dialled " + number);
  // Shared with the other lines calling for the same request.
  const std::shared_ptr<const xml::Document> request = SharedRequestDocument(request_xml);
  if (!request) {
    Finish(&record, "Failed", "Failed");
    record.error = "The request could not be read";
    return record;
  }
  if (auto problem = stack_.RegistrationProblem(5)) {
    Finish(&record, "Failed", "Failed");
    record.error = *problem;
    record.protocol.push_back(*problem);
    return record;
  }
  const pugi::xml_node root = request->FirstChild();
  const int rings = RequestCount(root, "NumberOfRings", 7);
  std::string dir = wav_dir;
  if (!dir.empty() && dir.back() != '/') dir += '/';

  std::string problem;
  const MachineDetection detection = RequestMachineDetection(root, detection_, &problem);
  if (!problem.empty()) record.protocol.push_back(problem);
  // The trunk's slot is given back once the call is over (declared before
  // the call, it outlives it).
  Trunk::Clock::duration waited{};
  const std::optional<Trunk::Slot> slot = stack_.trunk().Admit(stopping_.get_token(), &waited);
  if (waited >= std::chrono::milliseconds(100)) {
    record.protocol.push_back(TrunkWait(stack_.trunk().limits(), waited));
  }
  record.time = OleDateNow();  // when the call goes out
  SipCall call(stack_, dir, detection);
  {
    MutexLock lock(mutex_);
    if (stopped_ || !slot) call.Abort();  // !slot: stopped while waiting for the trunk
    current_ = &call;
  }
  struct Forget {
    SipModem* modem;
    ~Forget() {
      MutexLock lock(modem->mutex_);
      modem->current_ = nullptr;
    }
  } forget{this};

  DialResult dial = call.Dial(RequestUri(stack_.account().uri_template, number),
                              rings * stack_.account().ring_period);
  record.sip_code = dial.code;
  record.sip_reason = dial.reason;
  record.protocol.insert(record.protocol.end(), dial.protocol.begin(), dial.protocol.end());
  switch (dial.outcome) {
    case DialOutcome::kBusy:
      Finish(&record, "Busy", "Busy");
      return record;
    case DialOutcome::kNoAnswer:
      Finish(&record, "NoAnswer", "NoAnswer");
      return record;
    case DialOutcome::kFailed:
      Finish(&record, "Failed", "Failed");
      record.error = dial.error;
      for (std::string& note : call.TakeNotes()) record.protocol.push_back(std::move(note));
      return record;
    case DialOutcome::kAnswered:
      break;
  }
  Finish(&record, "Answered", "Completed");
  const CallWalk walk = WalkCallTree(xml::ChildElement(root, "CallTree"), call,
                                     RequestCount(root, "MaxGreetingDuration", 30));
  call.HangUp();
  record.protocol.insert(record.protocol.end(), walk.protocol.begin(), walk.protocol.end());
  // What came after the walk: the reply to the BYE.
  for (std::string& note : call.TakeNotes()) record.protocol.push_back(std::move(note));
  if (walk.answered_by) record.answered_by = AnsweredByWord(walk.answered_by->who);
  if (walk.not_answered) Finish(&record, "NoAnswer", "NoAnswer");
  if (walk.left_incomplete) {
    // Answered, but the message is not whole on the machine: no "Completed".
    record.status = "LeftIncomplete";
    record.protocol.push_back("Message left incomplete: " + *walk.left_incomplete);
  }
  FailUnplayed(walk, &record);
  std::tie(record.sip_code, record.sip_reason) = call.LastReply();
  record.duration = static_cast<int>(std::lround(call.Seconds()));
  return record;
}

std::unique_ptr<SipLines> SipLines::Start(SipOptions options, std::string* error) {
  if (!PrepareAccount(options.account, error)) return nullptr;
  const long wanted = OpenFilesFor(options.lines.size());
  if (const long limit = RaiseOpenFileLimit(wanted); limit < wanted) {
    SipEvents().ReportText(
        EventType::kWarning, kFewOpenFilesEvent,
        std::to_string(options.lines.size()) + " SIP lines need up to " + std::to_string(wanted) +
            " open files, but this process may open only " + std::to_string(limit) +
            ": calls beyond about " + std::to_string(std::max(0L, (limit - 256) / 2)) +
            " at once fail with \"Too many open files\". Raise the hard limit (LimitNOFILE= in "
            "the unit, ulimit -Hn elsewhere).");
  }
  auto lines = std::unique_ptr<SipLines>(new SipLines);
  lines->stack_ = SipStack::Start(std::move(options.account), error);
  if (!lines->stack_) return nullptr;
  for (int line : options.lines) {
    lines->modems_.push_back(MakeComObject<SipModem>(line, *lines->stack_, options.detection));
  }
  return lines;
}

void SipLines::WaitForRegistration(double seconds) const { stack_->RegistrationProblem(seconds); }

std::string SipLines::Registration(std::string* registrar, std::string* detail) const {
  *registrar = stack_->account().registrar;
  if (registrar->empty()) return "none";
  const auto problem = stack_->RegistrationProblem(0);
  if (!problem) return "registered";
  *detail = *problem;
  return problem->rfind("Not yet registered", 0) == 0 ? "pending" : "failed";
}

void SipLines::Stop() {
  for (const auto& modem : modems_) modem->Stop();
}

SipLines::~SipLines() {
  Stop();
  modems_.clear();
  stack_.reset();
}

}  // namespace ringwell::host::sip
