// Requests per second through the request processor, for requests of one
// text part, five text parts and one recorded file part, beside the time the
// tools a user would otherwise pick need for the same audio: the espeak-ng
// command line speaking each text into a wav file and sox converting it to the
// telephony format (8 kHz mu-law), or sox alone for the recording.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "file_processor.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/kel/kel.h"
#include "ringwell/wavshift/audio_file.h"
#include "speech.h"

namespace {

using namespace ringwell;
using namespace ringwell::kel;
using Clock = std::chrono::steady_clock;

constexpr int kRequests = 20;
constexpr char kText[] = "The backup of the accounting server failed at three in the morning.";

std::string g_root;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void Must(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_prepax: %s failed\n", what);
    std::exit(1);
  }
}

void Setup() {
  char pattern[] = "/tmp/ringwell-bench-XXXXXX";
  Must(mkdtemp(pattern) != nullptr, "mkdtemp");
  const std::string dir = std::string(pattern) + "/";
  g_root = dir + "root/";
  for (const char* sub : {"Inbox", "Requests", "Reports", "Files/{0}"}) {
    std::filesystem::create_directories(g_root + sub);
  }
  setenv("RINGWELL_REGISTRY", (dir + "registry.toml").c_str(), 1);
  setenv("RINGWELL_JOURNAL", "0", 1);
  registry::Key key;
  Must(Succeeded(registry::Key::Create(kConfigKey, &key)), "registry");
  key.SetString(kRootDirValue, g_root);
  key.SetDword(kAudioFormatValue, 49);
  const std::string build = RINGWELL_BUILD_DIR;
  Must(std::system((build + "/bin/ringwell-regsvr " + build + "/lib/libkel.so " + build +
                    "/lib/libtallier.so " + build + "/lib/libwavshift.so >/dev/null")
                       .c_str()) == 0,
       "registration");
  ComPtr<IClassFactory> speech;
  CreateClassFactory<prepax::CSpeech>(speech.Put());
  CoRegisterClassObject(prepax::kSpeechClsid, speech);

  audio::AudioBuffer tone{22050, 1, {}};
  for (int i = 0; i < 22050 * 3; ++i) {
    tone.samples.push_back(0.4f * static_cast<float>(std::sin(i * 2 * M_PI * 440 / 22050)));
  }
  audio::ReplaceWavFile(g_root + "Files/{0}/alarm.wav", tone, audio::FindAudioFormat(22));
}

void Submit(int text_parts, bool file_part) {
  ComPtr<IKelRequest> request;
  ComPtr<IKelRecipient> recipient;
  ComPtr<IKelService> service;
  CreateInstance(kKelRequestClsid, &request);
  CreateInstance(kKelRecipientClsid, &recipient);
  CreateInstance(kKelServiceClsid, &service);
  recipient->put_Recipient("5551234");
  ComPtr<IKelRecipients> recipients;
  request->get_Recipients(recipients.Put());
  recipients->Append(recipient.Get());
  request->put_StartTime(OleDateNow());
  request->put_StopTime(OleDateNow() + 1);
  ComPtr<_IKelNode> tree;
  ComPtr<IKelMessage> message;
  ComPtr<IKelMessageParts> parts;
  request->get_CallTree(tree.Put());
  tree->get_Message(message.Put());
  message->get_Parts(parts.Put());
  for (int i = 0; i < text_parts + (file_part ? 1 : 0); ++i) {
    ComPtr<IKelMessagePart> part;
    CreateInstance(kKelMessagePartClsid, &part);
    if (i < text_parts) {
      part->SetContent(kText, kelTextMessagePart);
    } else {
      part->SetContent("alarm.wav", kelFileNameMessagePart);
    }
    parts->Append(part.Get());
  }
  std::string id;
  Must(Succeeded(service->SubmitRequest(request.Get(), &id)), "submission");
}

// Seconds per request through the processor.
double ThroughProcessor(int text_parts, bool file_part) {
  for (int i = 0; i < kRequests; ++i) Submit(text_parts, file_part);
  prepax::CFileProcessor processor;
  const auto start = Clock::now();
  processor.ScanInbox();
  processor.ProcessFiles();
  const double seconds = Seconds(start) / kRequests;
  Must(std::filesystem::is_empty(g_root + "Inbox"), "processing");
  std::filesystem::remove_all(g_root + "Requests");
  std::filesystem::create_directories(g_root + "Requests");
  return seconds;
}

// Seconds per request with the command-line tools for the same audio.
double ThroughTools(int text_parts, bool file_part) {
  const std::string tmp = g_root + "tools/";
  std::filesystem::create_directories(tmp);
  const auto start = Clock::now();
  for (int r = 0; r < kRequests; ++r) {
    for (int i = 0; i < text_parts; ++i) {
      Must(std::system(("espeak-ng -w " + tmp + "s.wav \"" + kText + "\" && sox " + tmp +
                        "s.wav -r 8000 -e u-law " + tmp + "t.wav")
                           .c_str()) == 0,
           "espeak-ng and sox");
    }
    if (file_part) {
      Must(std::system(("sox " + g_root + "Files/{0}/alarm.wav -r 8000 -e u-law " + tmp + "f.wav")
                           .c_str()) == 0,
           "sox");
    }
  }
  return Seconds(start) / kRequests;
}

}  // namespace

int main() {
  Setup();
  std::printf("%-22s %12s %14s %16s %8s\n", "request", "requests/s", "ms/request",
              "tools ms/request", "ratio");
  struct Kind {
    const char* name;
    int text_parts;
    bool file_part;
  };
  for (const Kind& kind : {Kind{"one text part", 1, false}, Kind{"five text parts", 5, false},
                           Kind{"one file part", 0, true}}) {
    const double ours = ThroughProcessor(kind.text_parts, kind.file_part);
    const double tools = ThroughTools(kind.text_parts, kind.file_part);
    std::printf("%-22s %12.1f %14.1f %16.1f %8.2f\n", kind.name, 1 / ours, ours * 1000,
                tools * 1000, ours / tools);
  }
  std::printf(
      "ratio = processor time / tool time per request (below 1: the processor is faster,\n"
      "although it also writes the report, the rewritten request and moves the files)\n");
  std::filesystem::remove_all(std::filesystem::path(g_root).parent_path().parent_path());
  return 0;
}
