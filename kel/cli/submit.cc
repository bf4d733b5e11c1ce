// `kel submit`: a request from a description file or from flags, checked as a
// whole before anything is written.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "commands.h"
#include "request_description.h"
#include "toolkit.h"

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

}  // namespace

nlohmann::json DescriptionFromFlags(const SubmitOptions& options) {
  nlohmann::json description = {{"type", options.page ? "page" : "call"},
                                {"window", {{"start", options.from}, {"stop", options.until}}}};
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
  std::printf("%s\n", StoreAndSubmit(service, built).c_str());
  return kExitOk;
}

}  // namespace ringwell::kel::cli
