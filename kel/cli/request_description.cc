#include "request_description.h"

#include "ringwell/common/text.h"
#include "toolkit.h"

namespace ringwell::kel::cli {
namespace {

using nlohmann::json;

[[noreturn]] void Invalid(const std::string& what) {
  throw Failure(E_INVALIDARG, "request description: " + what);
}

std::int32_t Int(const json& value, const char* name) {
  if (!value.is_number_integer()) Invalid(std::string(name) + " must be a whole number");
  return value.get<std::int32_t>();
}

std::string String(const json& value, const char* name) {
  if (!value.is_string()) Invalid(std::string(name) + " must be a text");
  return value.get<std::string>();
}

void SetAttributes(const json& attributes, auto* object) {
  if (attributes.is_null()) return;
  if (!attributes.is_object()) Invalid("attributes must be an object of texts");
  for (const auto& [name, value] : attributes.items()) {
    Check(object->SetAttribute(name.c_str(), String(value, name.c_str()).c_str()),
          "attribute " + name);
  }
}

ComPtr<IKelMessagePart> MakePart(const json& part, IKelService* service) {
  auto object = Make<IKelMessagePart>(kKelMessagePartClsid);
  if (part.is_string()) {
    Check(object->SetContent(part.get<std::string>().c_str(), kelTextMessagePart));
    return object;
  }
  if (!part.is_object()) Invalid("a part must be a text or an object with \"say\" or \"play\"");
  if (part.contains("say")) {
    Check(object->SetContent(String(part["say"], "say").c_str(), kelTextMessagePart));
    if (part.contains("voice")) {
      Check(object->SetAttribute("Voice", String(part["voice"], "voice").c_str()));
    }
    if (part.contains("volume")) {
      Check(object->SetAttribute("Volume", std::to_string(Int(part["volume"], "volume")).c_str()));
    }
    if (part.contains("rate")) {
      Check(object->SetAttribute("Rate", std::to_string(Int(part["rate"], "rate")).c_str()));
    }
  } else if (part.contains("play")) {
    std::string file = String(part["play"], "play");
    if (file.find('/') != std::string::npos) {
      Check(service->SubmitFile(file.c_str(), 1), "storing " + file);
      file = file.substr(file.rfind('/') + 1);
    }
    Check(object->SetContent(file.c_str(), kelFileNameMessagePart), "part " + file);
  } else {
    Invalid("a part needs \"say\" or \"play\"");
  }
  SetAttributes(part.value("attributes", json()), object.Get());
  return object;
}

void FillMessage(const json& message, IKelMessage* target, IKelService* service) {
  if (message.is_null()) return;
  const json& parts = message.is_array() ? message : message.value("parts", json::array());
  if (!parts.is_array()) Invalid("parts must be a list");
  if (message.is_object()) {
    if (message.contains("replays")) Check(target->put_Replays(Int(message["replays"], "replays")));
    if (message.contains("timeout")) Check(target->put_Timeout(Int(message["timeout"], "timeout")));
    SetAttributes(message.value("attributes", json()), target);
  }
  ComPtr<IKelMessageParts> collection;
  Check(target->get_Parts(collection.Put()));
  for (const json& part : parts) Check(collection->Append(MakePart(part, service).Get()));
}

void FillNode(const json& description, _IKelNode* node, IKelService* service) {
  ComPtr<IKelMessage> message;
  Check(node->get_Message(message.Put()));
  FillMessage(description.value("message", json()), message.Get(), service);
  const json responses = description.value("responses", json::array());
  if (!responses.is_array()) Invalid("responses must be a list");
  ComPtr<IKelResponses> collection;
  Check(node->get_Responses(collection.Put()));
  for (const json& response : responses) {
    if (!response.is_object()) Invalid("a response must be an object");
    auto object = Make<IKelResponse>(kKelResponseClsid);
    Check(object->put_Button(String(response.value("button", json()), "button").c_str()));
    SetAttributes(response.value("attributes", json()), object.Get());
    FillNode(response, object.Get(), service);
    Check(collection->Append(object.Get()));
  }
}

void SetRetry(const json& description, const char* name, IKelRequest* request,
              HRESULT (IKelRequest::*attempts)(std::int32_t),
              HRESULT (IKelRequest::*delay)(std::int32_t)) {
  if (!description.contains(name)) return;
  const json& rule = description[name];
  if (!rule.is_object())
    Invalid(std::string(name) + " must be {\"attempts\": n, \"delay\": minutes}");
  if (rule.contains("attempts")) {
    Check((request->*attempts)(Int(rule["attempts"], "attempts")), name);
  }
  if (rule.contains("delay")) Check((request->*delay)(Int(rule["delay"], "delay")), name);
}

OleDate When(const json& window, const char* name, const char* fallback, OleDate now) {
  const std::string text = window.contains(name) ? String(window[name], name) : fallback;
  auto when = ParseWhen(text, now);
  if (!when) Invalid(std::string(name) + " time \"" + text + "\" is not understood");
  return *when;
}

}  // namespace

std::optional<OleDate> ParseWhen(std::string_view text, OleDate now) {
  text = Trim(text);
  if (text == "now") return now;
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    long per_unit = 0;
    switch (text.back()) {
      case 's':
        per_unit = 1;
        break;
      case 'm':
        per_unit = 60;
        break;
      case 'h':
        per_unit = 3600;
        break;
      case 'd':
        per_unit = 86400;
        break;
      default:
        return std::nullopt;
    }
    auto amount = ParseInteger(text.substr(0, text.size() - 1));
    if (!amount || *amount < 0) return std::nullopt;
    const OleDate result = now + static_cast<double>(*amount * per_unit) / 86400.0;
    if (result > kMaxOleDate) return std::nullopt;
    return result;
  }
  return OleDateFromIso(text);
}

ComPtr<IKelRequest> BuildRequest(const json& description, IKelService* service, OleDate now) {
  if (!description.is_object()) Invalid("it must be a JSON object");
  auto request = Make<IKelRequest>(kKelRequestClsid);

  const std::string type = description.value("type", std::string("call"));
  if (type == "page") {
    Check(request->put_Type(kelPageRequest));
  } else if (type != "call") {
    Invalid("type must be \"call\" or \"page\"");
  }

  const json recipients = description.value("recipients", json::array());
  if (!recipients.is_array()) Invalid("recipients must be a list");
  ComPtr<IKelRecipients> collection;
  Check(request->get_Recipients(collection.Put()));
  for (const json& entry : recipients) {
    auto recipient = Make<IKelRecipient>(kKelRecipientClsid);
    if (entry.is_string()) {
      Check(recipient->put_Recipient(entry.get<std::string>().c_str()));
    } else if (entry.is_object()) {
      Check(recipient->put_Recipient(String(entry.value("number", json()), "number").c_str()));
      if (entry.contains("service")) {
        Check(recipient->SetAttribute("Service", String(entry["service"], "service").c_str()));
      }
      SetAttributes(entry.value("attributes", json()), recipient.Get());
    } else {
      Invalid("a recipient is a number text or {\"number\": ...}");
    }
    Check(collection->Append(recipient.Get()));
  }

  const json window = description.value("window", json::object());
  Check(request->put_StartTime(When(window, "start", "now", now)));
  Check(request->put_StopTime(When(window, "stop", "+1h", now)));
  if (description.contains("rings")) {
    Check(request->put_NumberOfRings(Int(description["rings"], "rings")));
  }
  if (description.contains("maxGreeting")) {
    Check(request->put_MaxGreetingDuration(Int(description["maxGreeting"], "maxGreeting")));
  }
  SetRetry(description, "busy", request.Get(), &IKelRequest::put_NumberOfAttemptsIfBusy,
           &IKelRequest::put_DelayIfBusy);
  SetRetry(description, "noAnswer", request.Get(), &IKelRequest::put_NumberOfAttemptsIfNoAnswer,
           &IKelRequest::put_DelayIfNoAnswer);
  SetRetry(description, "error", request.Get(), &IKelRequest::put_NumberOfAttemptsIfError,
           &IKelRequest::put_DelayIfError);
  SetAttributes(description.value("attributes", json()), request.Get());
  if (description.contains("additionalInfo")) {
    Check(request->put_AdditionalInfo(
        String(description["additionalInfo"], "additionalInfo").c_str()));
  }

  ComPtr<_IKelNode> tree;
  Check(request->get_CallTree(tree.Put()));
  FillNode(description, tree.Get(), service);
  return request;
}

}  // namespace ringwell::kel::cli
