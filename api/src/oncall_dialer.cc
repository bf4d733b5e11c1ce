// Calls of the escalation steps as ordinary requests through the toolkit:
// reports, retries, windows and machine detection as for any call. The call
// says the alert's text and the prompt and waits for a key; 1 acknowledges,
// 2 passes the incident on, 3 says it all again. What the callee chose is
// read back from the report: the line notes "Key N pressed: response for
// button N" in the call's protocol.
#include "inbox_withdrawal.h"
#include "oncall_host.h"
#include "report_view.h"
#include "request_description.h"
#include "ringwell/common/text.h"
#include "thread_toolkit.h"
#include "toolkit.h"

namespace ringwell::api {
namespace {

using nlohmann::json;

constexpr int kKeyTimeout = 8;  // seconds the line waits for a key after the prompt

json Say(const std::string& text, const std::string& voice) {
  json part = {{"say", text}};
  if (!voice.empty()) part["voice"] = voice;
  return part;
}

// The responses to the prompt; `depth` more times "3" says it all again.
json Responses(const std::string& prompt, const std::string& voice, int depth) {
  json responses = json::array(
      {{{"button", "1"}, {"message", json::array({Say("Acknowledged. Thank you.", voice)})}},
       {{"button", "2"}, {"message", json::array({Say("Passed on to the next step.", voice)})}}});
  json again = {
      {"button", "3"},
      {"message", {{"timeout", kKeyTimeout}, {"parts", json::array({Say(prompt, voice)})}}}};
  if (depth > 0) again["responses"] = Responses(prompt, voice, depth - 1);
  responses.push_back(again);
  return responses;
}

class ToolkitDialer : public oncall::Dialer {
 public:
  ToolkitDialer(std::string root, std::function<void(const std::string&)> refresh,
                const LiveAlertRoutes& routes)
      : root_(std::move(root)), refresh_(std::move(refresh)), routes_(routes) {}

  std::string Call(const oncall::Person& person, const std::string& text,
                   const oncall::Incident& incident) override {
    if (person.phone.empty()) throw std::runtime_error(person.key + " has no phone");
    const std::string prompt = text + " " + oncall::kPrompt;
    json description = {{"type", "call"},
                        {"recipients", json::array({person.phone})},
                        {"message",
                         {{"replays", 1},
                          {"timeout", kKeyTimeout},
                          {"parts", json::array({Say(prompt, person.voice)})}}},
                        {"responses", Responses(prompt, person.voice, 3)}};
    // The route's request keys (window, rings, retries, ...) apply to each call.
    const auto routes = routes_.Get();
    if (const auto route = routes->find(incident.route); route != routes->end()) {
      for (const auto& [key, value] : route->second.request.items()) {
        if (key != "responses") description[key] = value;
      }
    }
    try {
      kel::IKelService* service = ThreadService(root_);
      auto built =
          kel::client::BuildRequest(description, {service, OleDateNow(), false, false, true});
      std::string id;
      kel::client::Check(service->SubmitRequest(built.request.Get(), &id), "submitting");
      if (refresh_) refresh_(id);
      return id;
    } catch (const kel::client::Failure& failure) {
      throw std::runtime_error(failure.what());
    }
  }

  void Cancel(const std::string& request) override {
    try {
      if (kel::client::WithdrawFromInbox(root_, request) != kel::client::Withdrawal::kNotInInbox) {
        return;
      }
      ThreadService(root_)->CancelRequest(request.c_str());  // S_FALSE: it had ended
      if (refresh_) refresh_(request);
    } catch (const kel::client::Failure& failure) {
      throw std::runtime_error(failure.what());
    }
  }

  oncall::CallOutcome Outcome(const std::string& request) override {
    std::optional<kel::client::ReportView> report;
    try {
      report = ReadReportOf(root_, request);
    } catch (const kel::client::Failure& failure) {
      throw std::runtime_error(failure.what());
    }
    oncall::CallOutcome outcome;
    if (!report) return outcome;  // still in Inbox
    const kel::client::CallView* last = nullptr;
    for (const auto& recipient : report->recipients) {
      for (const auto& call : recipient.calls) {
        last = &call;
        // The last choice of 1 or 2 in the call's walk.
        for (std::size_t at = call.protocol.find("Key "); at != std::string::npos;
             at = call.protocol.find("Key ", at + 1)) {
          const std::string note = call.protocol.substr(at, 40);
          for (const char* key : {"1", "2"}) {
            if (note.rfind(std::string("Key ") + key + " pressed: response for button", 0) == 0) {
              outcome.key = key;
            }
          }
        }
      }
    }
    if (last != nullptr) outcome.machine = EqualsIgnoringCase(last->answered_by, "Machine");
    if (!kel::client::IsFinished(report->status)) return outcome;
    outcome.finished = true;
    if (EqualsIgnoringCase(report->status, "Canceled")) {
      outcome.result = "canceled";
    } else if (last == nullptr) {
      outcome.result = "failed";
    } else if (outcome.machine) {
      outcome.result = "voicemail";
    } else if (EqualsIgnoringCase(last->answer, "Busy")) {
      outcome.result = "busy";
    } else if (EqualsIgnoringCase(last->answer, "NoAnswer")) {
      outcome.result = "no answer";
    } else if (EqualsIgnoringCase(last->status, "Failed")) {
      outcome.result = "failed";
    } else {
      outcome.result = "answered";
    }
    return outcome;
  }

 private:
  const std::string root_;
  std::function<void(const std::string&)> refresh_;
  const LiveAlertRoutes& routes_;
};

}  // namespace

std::string TellResolved(const std::string& root, const oncall::Person& person,
                         const std::string& text, const AlertRoute& route) {
  if (person.phone.empty()) throw std::runtime_error(person.key + " has no phone");
  json description = {{"type", "call"},
                      {"recipients", json::array({person.phone})},
                      {"message", json::array({Say(text, person.voice)})}};
  for (const auto& [key, value] : route.request.items()) {
    if (key != "responses") description[key] = value;
  }
  try {
    kel::IKelService* service = ThreadService(root);
    auto built =
        kel::client::BuildRequest(description, {service, OleDateNow(), false, false, true});
    std::string id;
    kel::client::Check(service->SubmitRequest(built.request.Get(), &id), "submitting");
    return id;
  } catch (const kel::client::Failure& failure) {
    throw std::runtime_error(failure.what());
  }
}

std::unique_ptr<oncall::Dialer> MakeToolkitDialer(std::string root,
                                                  std::function<void(const std::string&)> refresh,
                                                  const LiveAlertRoutes& routes) {
  return std::make_unique<ToolkitDialer>(std::move(root), std::move(refresh), routes);
}

}  // namespace ringwell::api
