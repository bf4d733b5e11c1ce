// `kel submit`: a request from a description file or from flags, checked as a
// whole before anything is written.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "commands.h"
#include "host_devices.h"
#include "rehearsal.h"
#include "request_description.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"
#include "toolkit.h"
#include "user_time.h"

namespace ringwell::kel::cli {

using namespace client;
namespace {

nlohmann::json ReadDescription(const std::string& file) {
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(file);
    if (!in) throw Failure(E_INVALIDARG, "cannot read " + file);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  return ParseDescription(text, file);
}

// Stores the request's local wav files, then submits it; on a failure the
// files this call added are removed again.
std::string StoreAndSubmit(IKelService* service, const BuiltRequest& built) {
  std::vector<std::string> added;
  try {
    for (const StagedFile& file : built.files) {
      if (Check(service->SubmitFile(file.source.c_str(), file.replace ? 1 : 0),
                "storing " + file.source) == S_FALSE) {
        throw Failure(E_FAIL, "storing " + file.source + ": a file named " + file.name +
                                  " was stored meanwhile");
      }
      if (!file.replace) added.push_back(file.name);
    }
    std::string id;
    Check(service->SubmitRequest(built.request.Get(), &id), "submitting");
    return id;
  } catch (...) {
    for (const std::string& name : added) service->DeleteFile(name.c_str());
    throw;
  }
}

// "ATTEMPTS[,MINUTES]" of --busy, --no-answer and --error.
void SetRetryRule(nlohmann::json& description, const char* key, const char* flag,
                  const std::string& text, const SubmitOptions& options) {
  nlohmann::json rule = nlohmann::json::object();
  if (options.retries) rule["attempts"] = *options.retries;
  if (options.retry_delay) rule["delay"] = *options.retry_delay;
  if (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::optional<std::int32_t> attempts = ParseInt32(text.substr(0, comma));
    std::int32_t delay = 0;
    if (comma != std::string::npos) delay = ParseInt32(text.substr(comma + 1)).value_or(0);
    if (!attempts || *attempts < 0 || (comma != std::string::npos && delay < 1)) {
      throw UsageFailure(std::string(flag) + ": \"" + text +
                         "\" is not ATTEMPTS or ATTEMPTS,MINUTES (e.g. 5 or 5,2)");
    }
    rule["attempts"] = *attempts;
    if (comma != std::string::npos) rule["delay"] = delay;
  }
  if (!rule.empty()) description[key] = rule;
}

// What --dry-run shows of the request file the toolkit would write.
void ShowRequest(const std::string& request_file, const BuiltRequest& built) {
  pugi::xml_document document;
  document.load_string(request_file.c_str());
  const pugi::xml_node request = document.first_child();
  const bool page = std::string_view(request.attribute("Type").value()) == "Page";
  const auto recipients = request.child("Recipients").children("Recipient");
  const auto count = std::distance(recipients.begin(), recipients.end());
  std::printf("would submit a %s to %ld recipient%s:", page ? "page" : "call",
              static_cast<long>(count), count == 1 ? "" : "s");
  for (pugi::xml_node recipient : recipients) std::printf(" %s", xml::Text(recipient).c_str());
  std::printf("\n");
  const auto when = [&](const char* name) {
    return UserTime(OleDateFromIso(xml::Text(request.child(name))).value_or(kInvalidDate));
  };
  std::printf("window:  %s to %s %s\n", when("StartTime").c_str(), when("StopTime").c_str(),
              UserZoneLabel().c_str());
  if (!page) {
    const auto number = [&](const char* name) { return xml::Text(request.child(name)); };
    std::printf(
        "retries: busy %s every %s min, no answer %s every %s min, error %s every %s min; "
        "%s rings\n",
        number("NumberOfAttemptsIfBusy").c_str(), number("DelayIfBusy").c_str(),
        number("NumberOfAttemptsIfNoAnswer").c_str(), number("DelayIfNoAnswer").c_str(),
        number("NumberOfAttemptsIfError").c_str(), number("DelayIfError").c_str(),
        number("NumberOfRings").c_str());
  }
  std::printf("parts:\n");
  for (const PartToHear& part : PartsToHear(request)) {
    std::printf("  %s, part %d: %s \"%s\"%s\n", part.where.c_str(), part.number,
                part.spoken ? "say" : "play", part.content.c_str(),
                part.voice ? (" (voice " + *part.voice + ")").c_str() : "");
  }
  for (const StagedFile& file : built.files) {
    std::printf("would store %s as %s%s\n", file.source.c_str(), file.name.c_str(),
                file.replace ? " (replacing the stored one)" : "");
  }
  std::printf("nothing was written (--dry-run)\n");
}

}  // namespace

nlohmann::json DescriptionFromFlags(const SubmitOptions& options) {
  nlohmann::json description = {{"type", options.page ? "page" : "call"},
                                {"window", {{"start", options.from}}}};
  // Without --until the window lasts an hour from its start.
  if (std::find(options.given_flags.begin(), options.given_flags.end(), "--until") !=
      options.given_flags.end()) {
    description["window"]["stop"] = options.until;
  }
  nlohmann::json recipients = nlohmann::json::array();
  for (const auto& number : options.to) {
    nlohmann::json recipient = {{"number", number}};
    if (!options.service.empty()) recipient["service"] = options.service;
    recipients.push_back(recipient);
  }
  description["recipients"] = recipients;
  std::string order = options.part_order;
  if (order.size() != options.say.size() + options.play.size()) {
    order = std::string(options.say.size(), 's') + std::string(options.play.size(), 'p');
  }
  nlohmann::json parts = nlohmann::json::array();
  std::size_t said = 0;
  std::size_t played = 0;
  for (const char kind : order) {
    if (kind == 's') {
      nlohmann::json part = {{"say", options.say[said++]}};
      if (!options.voice.empty()) part["voice"] = options.voice;
      parts.push_back(part);
    } else {
      parts.push_back({{"play", options.play[played++]}});
    }
  }
  description["message"] = {{"parts", parts}};
  if (options.rings) description["rings"] = *options.rings;
  if (options.max_greeting) description["maxGreeting"] = *options.max_greeting;
  SetRetryRule(description, "busy", "--busy", options.busy, options);
  SetRetryRule(description, "noAnswer", "--no-answer", options.no_answer, options);
  SetRetryRule(description, "error", "--error", options.error, options);
  return description;
}

int Submit(IKelService* service, const SubmitOptions& options) {
  const bool from_flags = options.file.empty();
  if (!from_flags && !options.given_flags.empty()) {
    throw UsageFailure(options.given_flags.front() + " cannot be combined with a request file (" +
                       options.file + "); write it into the file instead");
  }
  const nlohmann::json description =
      from_flags ? DescriptionFromFlags(options) : ReadDescription(options.file);
  const BuiltRequest built =
      BuildRequest(description, {service, OleDateNow(), options.overwrite, from_flags});
  std::string root;
  Check(service->get_Location(&root), "reading the storage root");
  RefuseUnsendablePages(description, NormaliseRoot(root));
  if (options.dry_run) {
    ShowRequest(RehearsedRequestFile(built.request.Get()), built);
    return kExitOk;
  }
  std::printf("%s\n", StoreAndSubmit(service, built).c_str());
  return kExitOk;
}

}  // namespace ringwell::kel::cli
