#include "sip_test_call.h"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "ringwell/common/xml.h"
#include "sip_modem.h"

namespace ringwell::host::sip {
namespace {

namespace fs = std::filesystem;

// A second of a 440 Hz tone, 8 kHz 16-bit mono PCM: what the callee hears.
bool WriteTone(const std::string& path) {
  constexpr std::uint32_t kRate = 8000;
  std::string samples;
  for (std::uint32_t i = 0; i < kRate; ++i) {
    const auto value =
        static_cast<std::int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * i / kRate));
    samples += static_cast<char>(value & 0xFF);
    samples += static_cast<char>((value >> 8) & 0xFF);
  }
  const auto le32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
  };
  const auto le16 = [](std::uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
  };
  const auto size = static_cast<std::uint32_t>(samples.size());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "RIFF" << le32(36 + size) << "WAVE"
      << "fmt " << le32(16) << le16(1) << le16(1) << le32(kRate) << le32(kRate * 2) << le16(2)
      << le16(16) << "data" << le32(size) << samples;
  return static_cast<bool>(out);
}

// "answered (by Human), 3 s", "busy (486 Busy Here)", ...
std::string Outcome(const pugi::xml_node call) {
  const std::string status = call.attribute("Status").value();
  const std::string answer = xml::Text(xml::ChildElement(call, "Answer"));
  const std::string error = call.attribute("Error").value();
  const pugi::xml_node reply = xml::ChildElement(call, "SipReply");
  const std::string code = reply.attribute("Code").value();
  const std::string sip = code.empty() ? std::string() : " (" + code + " " + xml::Text(reply) + ")";
  if (answer == "Answered") {
    const std::string by = xml::Text(xml::ChildElement(call, "AnsweredBy"));
    std::string text = "answered" + (by.empty() ? std::string() : " (by " + by + ")") + ", " +
                       xml::Text(xml::ChildElement(call, "Duration")) + " s";
    if (status == "Failed") text += "; then failed: " + error;
    return text;
  }
  if (answer == "Busy") return "busy" + sip;
  if (answer == "NoAnswer") return "no answer" + sip;
  if (error.rfind("Registration at ", 0) == 0) {
    const std::size_t why = error.find(" failed: ");
    return "registration failed: " + (why == std::string::npos ? error : error.substr(why + 9));
  }
  if (error.rfind("Not yet registered", 0) == 0) return "registration failed: " + error;
  if (!code.empty() && std::stoi(code) >= 300) return "refused: " + code + " " + xml::Text(reply);
  return "failed: " + (error.empty() ? status : error);
}

}  // namespace

int RunSipTest(SipOptions options, const std::string& number) {
  if (options.lines.empty()) options.lines = {1};
  options.lines.resize(1);
  std::error_code ec;
  const fs::path dir =
      fs::temp_directory_path(ec) / ("ringwell-sip-test-" + std::to_string(::getpid()));
  fs::create_directories(dir, ec);
  struct Remove {
    fs::path dir;
    ~Remove() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } remove{dir};
  if (ec || !WriteTone((dir / "tone.wav").string())) {
    std::fprintf(stderr, "ringwell-host: cannot write the test tone in %s\n", dir.c_str());
    return 1;
  }
  std::string error;
  const std::string registrar = options.account.registrar;
  std::unique_ptr<SipLines> lines = SipLines::Start(std::move(options), &error);
  if (!lines) {
    std::fprintf(stderr, "ringwell-host: %s\n", error.c_str());
    return 1;
  }
  std::printf("ringwell-host: test call to %s on SIP line %d\n", number.c_str(),
              lines->modems().front()->line());
  std::fflush(stdout);
  const std::string request =
      R"(<Request ID="{00000000-0000-0000-0000-000000000000}" Type="Call">)"
      R"(<NumberOfRings dt:dt="int">5</NumberOfRings>)"
      R"(<MaxGreetingDuration dt:dt="int">3</MaxGreetingDuration><CallTree>)"
      R"(<Message Replays="0" Timeout="1"><MessagePart Type="File">tone.wav</MessagePart></Message>)"
      R"(<Responses/></CallTree></Request>)";
  std::string result;
  // A registration still under way holds the call back until it ends (libre
  // gives up on an unanswered REGISTER after 32 s).
  if (!registrar.empty()) lines->WaitForRegistration(40);
  lines->modems().front()->MakeCall(number.c_str(), request.c_str(), (dir.string() + "/").c_str(),
                                    &result);
  lines->Stop();
  xml::Document document;
  if (document.LoadXml(result) != S_OK) {
    std::printf("ringwell-host: test call to %s: failed: no result\n", number.c_str());
    return 1;
  }
  const pugi::xml_node call = document.FirstChild();
  std::printf("ringwell-host: test call to %s: %s\n", number.c_str(), Outcome(call).c_str());
  std::printf("%s\n", xml::Text(xml::ChildElement(call, "Protocol")).c_str());
  std::fflush(stdout);
  return xml::Text(xml::ChildElement(call, "Answer")) == "Answered" ? 0 : 1;
}

}  // namespace ringwell::host::sip
