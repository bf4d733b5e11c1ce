#include "sipp_greeting.h"

#include <rem_g711.h>

#include <filesystem>
#include <fstream>

namespace ringwell::host::sip::testing {

std::unique_ptr<SippCallee> StartGreetingCallee(const std::string& dir,
                                                const std::vector<std::int16_t>& samples) {
  // SIPp's rtp_stream sends a file as it is, 160 bytes every 20 ms: raw mu-law.
  std::filesystem::create_directories(dir);
  const std::string raw = dir + "/greeting.ulaw";
  {
    std::ofstream out(raw, std::ios::binary);
    for (std::int16_t sample : samples) out.put(static_cast<char>(g711_pcm2ulaw(sample)));
  }
  return std::make_unique<SippCallee>(dir, "<recv request=\"INVITE\"/>\n" +
                                               SippCallee::Reply("180 Ringing") +
                                               SippCallee::Answer(SippCallee::kAudioSdp) +
                                               "<recv request=\"ACK\"/>\n"
                                               "<nop><action><exec rtp_stream=\"" +
                                               raw +
                                               ",1,0\"/></action></nop>\n"
                                               "<recv request=\"BYE\"/>\n" +
                                               SippCallee::Reply("200 OK"));
}

}  // namespace ringwell::host::sip::testing
