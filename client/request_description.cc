#include "request_description.h"

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <map>

#include "request_checks.h"
#include "request_file_view.h"
#include "ringwell/common/machine_detection.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "toolkit.h"
#include "user_time.h"

namespace ringwell::kel::client {
namespace {

using nlohmann::json;

std::string TypeName(const json& value) {
  if (value.is_string()) return "a text";
  if (value.is_number_integer()) return "a whole number";
  if (value.is_number()) return "a number";
  if (value.is_boolean()) return "true/false";
  if (value.is_array()) return "a list";
  if (value.is_object()) return "an object";
  return "null";
}

std::string Index(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

// An absolute http or https URL with a host, in printable ASCII.
bool IsCallbackUrl(const std::string& url) {
  std::size_t host = 0;
  if (url.rfind("https://", 0) == 0) {
    host = 8;
  } else if (url.rfind("http://", 0) == 0) {
    host = 7;
  } else {
    return false;
  }
  if (url.size() > 2048 || url.size() == host || url[host] == '/' || url[host] == '?') return false;
  return std::all_of(url.begin(), url.end(), [](char c) { return c > ' ' && c < 127; });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string Key(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

// Walks one description, naming every field it refuses by its path
// ("message.parts[2].say") or, for a request given by flags, by the flag.
class Builder {
 public:
  explicit Builder(const BuildContext& context) : context_(context) {}

  BuiltRequest Build(const json& description);

 private:
  [[noreturn]] void Invalid(const std::string& field, const std::string& what) const {
    throw Failure(E_INVALIDARG,
                  (context_.from_flags ? "" : "request description: ") +
                      (field.empty() ? what : field + ": " + what),
                  field);
  }
  // The name of a field for the user: its path, or the flag it came from.
  std::string Field(const std::string& path, const char* flag) const {
    return context_.from_flags ? flag : path;
  }
  void OnlyKeys(const json& object, const std::string& path,
                std::initializer_list<const char*> keys) const {
    for (const auto& [key, value] : object.items()) {
      bool known = false;
      for (const char* allowed : keys) known = known || key == allowed;
      if (!known) Invalid(Key(path, key), "unknown key");
    }
  }
  const json& Object(const json& value, const std::string& path, const char* form) const {
    if (!value.is_object())
      Invalid(path, std::string("must be ") + form + ", not " + TypeName(value));
    return value;
  }
  std::int32_t Int(const json& value, const std::string& path) const {
    if (!value.is_number_integer() || value.get<std::int64_t>() != value.get<std::int32_t>()) {
      Invalid(path, "must be a whole number, not " + TypeName(value));
    }
    return value.get<std::int32_t>();
  }
  std::string String(const json& value, const std::string& path) const {
    if (!value.is_string()) Invalid(path, "must be a text, not " + TypeName(value));
    return value.get<std::string>();
  }
  // Sets the element's own attributes, refusing those that would replace
  // what the readers rely on: the ones the request file writes itself on that
  // element (`fixed`: the request's ID, user and type, ...), namespace
  // declarations and namespaced names (the data types).
  void SetAttributes(const json& parent, const std::string& path, auto* object,
                     std::initializer_list<std::string_view> fixed) const {
    if (!parent.contains("attributes")) return;
    const std::string where = Key(path, "attributes");
    for (const auto& [name, value] :
         Object(parent["attributes"], where, "an object of texts").items()) {
      const std::string& attribute = name;  // clang 14 captures no structured binding
      const bool reserved =
          std::any_of(fixed.begin(), fixed.end(),
                      [&](std::string_view f) { return EqualsIgnoringCase(attribute, f); }) ||
          EqualsIgnoringCase(name, "xmlns") || StartsWithIgnoringCase(name, "xmlns:") ||
          StartsWithIgnoringCase(name, "dt:");
      if (reserved) {
        Invalid(Key(where, name),
                "is written by the toolkit itself and cannot be given as an attribute");
      }
      Check(object->SetAttribute(name.c_str(), String(value, Key(where, name)).c_str()),
            Key(where, name));
    }
  }

  void RefuseNul(const json& value, const std::string& path) const;
  void AddRecipients(const json& description, IKelRequest* request, bool page);
  void SetMachineDetection(const json& description, IKelRequest* request) const;
  OleDate When(const json& window, const char* name, const char* flag, const char* fallback) const;
  void SetRetry(const json& description, const char* name, IKelRequest* request,
                HRESULT (IKelRequest::*attempts)(std::int32_t),
                HRESULT (IKelRequest::*delay)(std::int32_t)) const;
  void FillNode(const json& node, const std::string& path, _IKelNode* target, bool root);
  std::size_t FillMessage(const json& message, const std::string& path, IKelMessage* target);
  ComPtr<IKelMessagePart> MakePart(const json& part, const std::string& path);
  std::string StagePlayed(const std::string& file, const std::string& field);

  // A text part's text and voice that cannot be spoken as asked (calls only:
  // pages are sent as text).
  void CheckSpoken(const std::string& text, IKelMessagePart* part, const json& source,
                   const std::string& path) const;

  const BuildContext& context_;
  bool page_ = false;
  std::vector<StagedFile> files_;
  std::map<std::string, std::string> played_;  // local files played: name -> path
};

void Builder::AddRecipients(const json& description, IKelRequest* request, bool page) {
  const std::string path = "recipients";
  const json recipients = description.value(path, json::array());
  if (!recipients.is_array()) Invalid(path, "must be a list, not " + TypeName(recipients));
  ComPtr<IKelRecipients> collection;
  Check(request->get_Recipients(collection.Put()));
  std::int32_t count = 0;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const json& entry = recipients[i];
    const std::string where = Index(path, i);
    std::string number;
    if (entry.is_string()) {
      number = entry.get<std::string>();
    } else if (entry.is_object()) {
      OnlyKeys(entry, where, {"number", "service", "attributes"});
      number = String(entry.value("number", json()), Key(where, "number"));
    } else {
      Invalid(where, "must be a number text or {\"number\": ...}, not " + TypeName(entry));
    }
    if (Trim(number).empty()) continue;  // an unset variable on a command line
    if (page ? !IsPageable(Trim(number)) : !IsDialable(Trim(number))) {
      Invalid(Field(where, "--to"),
              "\"" + number +
                  "\" is not a dialable number (digits, +, *, #, blanks, -, ., / "
                  "and parentheses, or a sip: address" +
                  (page ? "; or a mail address)" : ")"));
    }
    auto recipient = Make<IKelRecipient>(kKelRecipientClsid);
    Check(recipient->put_Recipient(std::string(Trim(number)).c_str()), where);
    if (entry.is_object()) {
      if (entry.contains("service")) {
        Check(recipient->SetAttribute("Service",
                                      String(entry["service"], Key(where, "service")).c_str()));
      }
      SetAttributes(entry, where, recipient.Get(), {"Type"});
    }
    Check(collection->Append(recipient.Get()));
    ++count;
  }
  if (count == 0) {
    Invalid(Field(path, "--to"), "no recipient (blank numbers are left out)");
  }
}

OleDate Builder::When(const json& window, const char* name, const char* flag,
                      const char* fallback) const {
  const std::string path = Key("window", name);
  const std::string text = window.contains(name) ? String(window[name], path) : fallback;
  auto when = ParseWhen(text, context_.now);
  if (!when) {
    Invalid(Field(path, flag), "\"" + text +
                                   "\" is not a time (now, +30m, +1h, +1d, or ISO 8601 "
                                   "such as 2026-12-07T18:00:00Z)");
  }
  return *when;
}

void Builder::SetRetry(const json& description, const char* name, IKelRequest* request,
                       HRESULT (IKelRequest::*attempts)(std::int32_t),
                       HRESULT (IKelRequest::*delay)(std::int32_t)) const {
  if (!description.contains(name)) return;
  const json& rule = Object(description[name], name, "{\"attempts\": n, \"delay\": minutes}");
  OnlyKeys(rule, name, {"attempts", "delay"});
  if (rule.contains("attempts")) {
    Check((request->*attempts)(Int(rule["attempts"], Key(name, "attempts"))), name);
  }
  if (rule.contains("delay"))
    Check((request->*delay)(Int(rule["delay"], Key(name, "delay"))), name);
}

// The object becomes the request's attribute MachineDetection, in the text
// form that the host reads ("machine=play,greeting=2"); each setting is
// checked as the host checks it.
void Builder::SetMachineDetection(const json& description, IKelRequest* request) const {
  const std::string path = "machineDetection";
  if (!description.contains(path)) return;
  const json& object =
      Object(description[path], path, "an object such as {\"machine\": \"leave-message\"}");
  if (description.contains("attributes") && description["attributes"].is_object() &&
      description["attributes"].contains(kMachineDetectionAttribute)) {
    Invalid(Key("attributes", kMachineDetectionAttribute), "is set by \"machineDetection\"");
  }
  std::string text;
  for (const auto& [key, value] : object.items()) {
    const std::string where = Key(path, key);
    std::string setting;
    if (value.is_string()) {
      setting = value.get<std::string>();
    } else if (value.is_boolean()) {
      setting = value.get<bool>() ? "true" : "false";
    } else if (value.is_number()) {
      setting = value.dump();
    } else {
      Invalid(where, "must be a text, a number or true/false, not " + TypeName(value));
    }
    if (setting.find_first_of(",=") != std::string::npos) {
      Invalid(where, "\"" + setting + "\" is not a value of this setting");
    }
    MachineDetection settings;
    std::string error;
    if (!ApplyMachineDetection(key + "=" + setting, &settings, &error)) {
      // The error starts with the key, which the field's path names already.
      if (error.starts_with(key + ": ")) error.erase(0, key.size() + 2);
      Invalid(where, error);
    }
    text += (text.empty() ? "" : ",") + key + "=" + setting;
  }
  if (!text.empty()) Check(request->SetAttribute(kMachineDetectionAttribute, text.c_str()), path);
}

std::string Builder::StagePlayed(const std::string& file, const std::string& field) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (context_.http_api && !IsPlainName(file)) {
    Invalid(field, "\"" + file +
                       "\" is no file name: name a file in the store (send it with POST "
                       "/v1/files first)");
  }
  const bool local =
      !context_.http_api && (file.find('/') != std::string::npos || fs::is_regular_file(file, ec));
  const std::string name = file.substr(file.rfind('/') + 1);
  if (const std::string problem = FileNameProblem(name); !problem.empty()) Invalid(field, problem);
  if (!local) {
    ComPtr<IKelFileInfo> info;
    if (Check(context_.service->GetFileInfo(name.c_str(), info.Put()), field) == S_FALSE) {
      Invalid(field, "no file \"" + name + "\" is stored" +
                         (context_.http_api ? " (send it with POST /v1/files first)"
                                            : ", and there is no such file here"));
    }
    return name;
  }
  if (const std::string problem = WavProblem(file); !problem.empty()) {
    Invalid(field, file + " " + problem);
  }
  if (const auto earlier = played_.find(name); earlier != played_.end()) {
    if (!SameContent(earlier->second, file)) {
      Invalid(field, "two different files named " + name + " cannot both be stored");
    }
    return name;
  }
  played_.emplace(name, file);
  std::string location;
  Check(context_.service->get_Location(&location));
  const std::string stored =
      StorageLayout{NormaliseRoot(location)}.UserFilesDir(kToolkitUserId) + name;
  StagedFile staged{file, name, false};
  if (fs::exists(fs::symlink_status(stored, ec))) {
    if (SameContent(stored, file)) return name;  // stored already, as it is
    if (!context_.overwrite) {
      Invalid(field,
              "a different file named " + name + " is stored already (--overwrite replaces it)");
    }
    staged.replace = true;
  }
  files_.push_back(staged);
  return name;
}

void Builder::CheckSpoken(const std::string& text, IKelMessagePart* part, const json& source,
                          const std::string& path) const {
  if (page_) return;
  const std::string say = source.is_string() ? path : Key(path, "say");
  if (const std::string problem = TextSizeProblem(text.size()); !problem.empty()) {
    Invalid(Field(say, "--say"), problem);
  }
  std::string voice;
  Check(part->GetAttribute("Voice", &voice));
  if (voice.empty()) return;
  if (const std::string problem = VoiceProblem(voice); !problem.empty()) {
    const std::string where = source.is_object() && source.contains("voice")
                                  ? Key(path, "voice")
                                  : Key(Key(path, "attributes"), "Voice");
    Invalid(Field(where, "--voice"), problem);
  }
}

ComPtr<IKelMessagePart> Builder::MakePart(const json& part, const std::string& path) {
  auto object = Make<IKelMessagePart>(kKelMessagePartClsid);
  if (part.is_string()) {
    if (Trim(part.get<std::string>()).empty()) Invalid(Field(path, "--say"), "the text is empty");
    Check(object->SetContent(part.get<std::string>().c_str(), kelTextMessagePart), path);
    Check(object->SetAttribute(kSpokenTextAttribute, part.get<std::string>().c_str()));
    CheckSpoken(part.get<std::string>(), object.Get(), part, path);
    return object;
  }
  if (!part.is_object()) {
    Invalid(path, "must be a text or an object with \"say\" or \"play\", not " + TypeName(part));
  }
  OnlyKeys(part, path, {"say", "play", "voice", "volume", "rate", "attributes"});
  if (part.contains("say") == part.contains("play")) {
    Invalid(path, "needs exactly one of \"say\" and \"play\"");
  }
  if (part.contains("say")) {
    const std::string text = String(part["say"], Key(path, "say"));
    if (Trim(text).empty()) Invalid(Field(Key(path, "say"), "--say"), "the text is empty");
    Check(object->SetContent(text.c_str(), kelTextMessagePart), Key(path, "say"));
    Check(object->SetAttribute(kSpokenTextAttribute, text.c_str()));
    if (part.contains("voice")) {
      Check(object->SetAttribute("Voice", String(part["voice"], Key(path, "voice")).c_str()));
    }
    for (const char* name : {"volume", "rate"}) {
      if (!part.contains(name)) continue;
      std::string attribute = name;
      attribute[0] = static_cast<char>(attribute[0] - 'a' + 'A');
      Check(object->SetAttribute(attribute.c_str(),
                                 std::to_string(Int(part[name], Key(path, name))).c_str()));
    }
  } else {
    for (const char* name : {"voice", "volume", "rate"}) {
      if (part.contains(name)) Invalid(Key(path, name), "only a \"say\" part has a voice");
    }
    const std::string field = Field(Key(path, "play"), "--play");
    const std::string name = StagePlayed(String(part["play"], Key(path, "play")), field);
    Check(object->SetContent(name.c_str(), kelFileNameMessagePart), field);
  }
  SetAttributes(part, path, object.Get(), {"Type"});
  if (part.contains("say")) CheckSpoken(part["say"].get<std::string>(), object.Get(), part, path);
  return object;
}

std::size_t Builder::FillMessage(const json& message, const std::string& path,
                                 IKelMessage* target) {
  if (message.is_null()) return 0;
  std::string parts_path = path;
  const json* parts = &message;
  if (message.is_object()) {
    OnlyKeys(message, path, {"replays", "timeout", "parts", "attributes"});
    if (message.contains("replays")) {
      Check(target->put_Replays(Int(message["replays"], Key(path, "replays"))),
            Key(path, "replays"));
    }
    if (message.contains("timeout")) {
      Check(target->put_Timeout(Int(message["timeout"], Key(path, "timeout"))),
            Key(path, "timeout"));
    }
    SetAttributes(message, path, target, {"Replays", "Timeout"});
    static const json kNone = json::array();
    parts = message.contains("parts") ? &message["parts"] : &kNone;
    parts_path = Key(path, "parts");
  } else if (!message.is_array()) {
    Invalid(path, "must be an object or a list of parts, not " + TypeName(message));
  }
  if (!parts->is_array()) Invalid(parts_path, "must be a list, not " + TypeName(*parts));
  ComPtr<IKelMessageParts> collection;
  Check(target->get_Parts(collection.Put()));
  for (std::size_t i = 0; i < parts->size(); ++i) {
    Check(collection->Append(MakePart((*parts)[i], Index(parts_path, i)).Get()));
  }
  return parts->size();
}

void Builder::FillNode(const json& node, const std::string& path, _IKelNode* target, bool root) {
  ComPtr<IKelMessage> message;
  Check(target->get_Message(message.Put()));
  const std::string message_path = Key(path, "message");
  const std::size_t parts =
      FillMessage(node.contains("message") ? node["message"] : json(), message_path, message.Get());
  if (root && parts == 0) {
    Invalid(context_.from_flags ? "" : message_path,
            context_.from_flags ? "nothing to say: give --say TEXT or --play FILE"
                                : "no message part: give at least one \"say\" or \"play\"");
  }
  if (!node.contains("responses")) return;
  const std::string responses_path = Key(path, "responses");
  const json& responses = node["responses"];
  if (!responses.is_array()) Invalid(responses_path, "must be a list, not " + TypeName(responses));
  ComPtr<IKelResponses> collection;
  Check(target->get_Responses(collection.Put()));
  for (std::size_t i = 0; i < responses.size(); ++i) {
    const std::string where = Index(responses_path, i);
    const json& response = Object(responses[i], where, "an object");
    OnlyKeys(response, where, {"button", "message", "responses", "attributes"});
    auto object = Make<IKelResponse>(kKelResponseClsid);
    Check(
        object->put_Button(String(response.value("button", json()), Key(where, "button")).c_str()),
        Key(where, "button"));
    SetAttributes(response, where, object.Get(), {"Button"});
    FillNode(response, where, object.Get(), false);
    Check(collection->Append(object.Get()));
  }
}

// A NUL character ends a text wherever the request goes next (the toolkit's
// strings, XML): a text or key holding one would be cut short silently.
void Builder::RefuseNul(const json& value, const std::string& path) const {
  constexpr char kNul = '\0';
  if (value.is_string() && value.get_ref<const std::string&>().find(kNul) != std::string::npos) {
    Invalid(path, "must not contain a NUL character (\\u0000)");
  }
  if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) RefuseNul(value[i], Index(path, i));
  }
  if (!value.is_object()) return;
  for (const auto& [key, item] : value.items()) {
    if (key.find(kNul) != std::string::npos) {
      Invalid(path, "a key must not contain a NUL character (\\u0000)");
    }
    RefuseNul(item, Key(path, key));
  }
}

BuiltRequest Builder::Build(const json& description) {
  Object(description, "", "a JSON object");
  RefuseNul(description, "");
  OnlyKeys(description, "",
           {"type", "recipients", "window", "rings", "maxGreeting", "busy", "noAnswer", "error",
            "message", "responses", "attributes", "additionalInfo", "machineDetection",
            "statusCallback"});
  std::string callback;
  if (description.contains("statusCallback")) {
    if (!context_.http_api) {
      Invalid("statusCallback",
              "only a request submitted through the HTTP API (ringwell-api) gets status "
              "callbacks");
    }
    callback = String(description["statusCallback"], "statusCallback");
    if (!IsCallbackUrl(callback)) {
      Invalid("statusCallback", "\"" + callback +
                                    "\" is not an http:// or https:// URL (at most 2048 "
                                    "characters, no blanks)");
    }
  }
  auto request = Make<IKelRequest>(kKelRequestClsid);
  const std::string type =
      description.contains("type") ? String(description["type"], "type") : "call";
  page_ = type == "page";
  if (page_) {
    Check(request->put_Type(kelPageRequest));
  } else if (type != "call") {
    Invalid("type", "must be \"call\" or \"page\"");
  }
  AddRecipients(description, request.Get(), type == "page");

  static const json kNoWindow = json::object();
  const json& window = description.contains("window") ? Object(description["window"], "window",
                                                               "{\"start\": ..., \"stop\": ...}")
                                                      : kNoWindow;
  OnlyKeys(window, "window", {"start", "stop"});
  const OleDate start = When(window, "start", "--from", "now");
  // Without an end the window lasts an hour from its start, wherever that is.
  const OleDate stop =
      window.contains("stop") ? When(window, "stop", "--until", "+1h") : start + 1.0 / 24;
  if (!(LinearDate(stop) > LinearDate(start))) {
    Invalid(Field("window", "--until"), "the end must come after the start");
  }
  if (!(LinearDate(stop) > LinearDate(context_.now))) {
    Invalid(Field("window.stop", "--until"), "the window is over already: it ended at " +
                                                 UserTime(stop) + " " + UserZoneLabel() +
                                                 "; nobody would be called");
  }
  Check(request->put_StartTime(start));
  Check(request->put_StopTime(stop));
  if (description.contains("rings")) {
    Check(request->put_NumberOfRings(Int(description["rings"], "rings")), "rings");
  }
  if (description.contains("maxGreeting")) {
    Check(request->put_MaxGreetingDuration(Int(description["maxGreeting"], "maxGreeting")),
          "maxGreeting");
  }
  SetRetry(description, "busy", request.Get(), &IKelRequest::put_NumberOfAttemptsIfBusy,
           &IKelRequest::put_DelayIfBusy);
  SetRetry(description, "noAnswer", request.Get(), &IKelRequest::put_NumberOfAttemptsIfNoAnswer,
           &IKelRequest::put_DelayIfNoAnswer);
  SetRetry(description, "error", request.Get(), &IKelRequest::put_NumberOfAttemptsIfError,
           &IKelRequest::put_DelayIfError);
  SetAttributes(description, "", request.Get(), {"ID", "UserID", "Type"});
  SetMachineDetection(description, request.Get());
  if (description.contains("additionalInfo")) {
    Check(request->put_AdditionalInfo(
              String(description["additionalInfo"], "additionalInfo").c_str()),
          "additionalInfo");
  }
  ComPtr<_IKelNode> tree;
  Check(request->get_CallTree(tree.Put()));
  FillNode(description, "", tree.Get(), true);
  return {std::move(request), std::move(files_), std::move(callback)};
}

struct TooDeep {};

}  // namespace

nlohmann::json ParseDescription(std::string_view text, const std::string& origin) {
  const json::parser_callback_t limit_depth = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= kMaxDescriptionDepth) {
      throw TooDeep{};
    }
    return true;
  };
  try {
    return json::parse(text, limit_depth);
  } catch (const TooDeep&) {
    throw Failure(E_INVALIDARG, origin + ": JSON nested deeper than " +
                                    std::to_string(kMaxDescriptionDepth) + " levels");
  } catch (const json::exception& e) {
    throw Failure(E_INVALIDARG, origin + ": not JSON: " + e.what());
  }
}

std::optional<OleDate> ParseWhen(std::string_view text, OleDate now) {
  text = Trim(text);
  if (text == "now") return now;
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    static const std::map<char, long> kSecondsPer = {
        {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    const auto unit = kSecondsPer.find(text.back());
    if (unit == kSecondsPer.end()) return std::nullopt;
    auto amount = ParseInteger(text.substr(0, text.size() - 1));
    if (!amount || *amount < 0 || *amount > 100L * 365 * 86400) return std::nullopt;
    const OleDate result = now + static_cast<double>(*amount * unit->second) / 86400.0;
    if (result > kMaxOleDate) return std::nullopt;
    return result;
  }
  return OleDateFromIsoWithZone(text);
}

BuiltRequest BuildRequest(const json& description, const BuildContext& context) {
  return Builder(context).Build(description);
}

}  // namespace ringwell::kel::client
