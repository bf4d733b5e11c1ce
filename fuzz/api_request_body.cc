// The body of POST /v1/requests fed arbitrary bytes, down the same road as
// the HTTP API takes it: parsed as JSON (nesting refused while parsing),
// checked and built into a toolkit request by the code kel submit shares, and
// submitted through libkel. A refusal is a Failure with a message and leaves
// Inbox empty; an accepted body becomes one Inbox file whose first element is
// Request, holding the description's numbers.
#include <cstdint>
#include <filesystem>
#include <pugixml.hpp>
#include <string>

#include "fuzz_support.h"
#include "request_description.h"
#include "ringwell/common/ole_date.h"
#include "toolkit.h"

namespace {

using namespace ringwell;
using namespace ringwell::kel;

std::string g_root;

void Check(bool ok, const char* what) { ringwell::fuzz::Check(ok, "api_request_body", what); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_root = ringwell::fuzz::MakeWorkDirectory(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // libkel.so is the one beside the target's directory (no registry here).
  static ComPtr<IKelService> service = client::OpenService(g_root);
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::string id;
  try {
    const auto description = client::ParseDescription(body, "request body");
    const auto built =
        client::BuildRequest(description, {service.Get(), OleDateNow(), false, false, true});
    Check(built.files.empty(), "a request over HTTP would store a local file");
    client::Check(service->SubmitRequest(built.request.Get(), &id), "submitting");
  } catch (const client::Failure& failure) {
    Check(failure.what()[0] != '\0', "a refusal without a message");
    Check(std::filesystem::is_empty(g_root + "Inbox"), "a refused request left a file");
    return 0;
  }
  const std::string path = g_root + "Inbox/" + id + ".xml";
  pugi::xml_document document;
  Check(document.load_file(path.c_str()), "the request file does not parse");
  Check(std::string(document.first_child().name()) == "Request",
        "the request file's first element");
  Check(document.first_child().child("Recipients").child("Recipient"),
        "a request without recipient");
  std::filesystem::remove(path);
  return 0;
}
