#include "part_audio_cache.h"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "ringwell/common/file_stamp.h"

namespace ringwell::host::sip {
namespace {

using Identity = FileStamp;

struct Kept {
  std::string path;
  Codec codec;
  Identity identity;
  PartAudio audio;
};

// The kept copies, the most recently used first, under g_kept_mutex (held
// only to look at or change the list). g_load_mutex is held while a file is
// loaded, so calls that want a new part at once wait for one load of it.
std::mutex g_kept_mutex;
std::vector<Kept> g_kept;
std::mutex g_load_mutex;

// The identity of the regular file `path`; nullopt for anything else (a
// link, a missing file), which is then never shared.
std::optional<Identity> IdentityOf(const std::string& path) { return RegularFileStamp(path); }

PartAudio Find(const std::string& path, Codec codec, const Identity& identity) {
  std::lock_guard lock(g_kept_mutex);
  const auto it = std::find_if(g_kept.begin(), g_kept.end(), [&](const Kept& kept) {
    return kept.codec == codec && kept.identity == identity && kept.path == path;
  });
  if (it == g_kept.end()) return nullptr;
  std::rotate(g_kept.begin(), it, it + 1);
  return g_kept.front().audio;
}

}  // namespace

PartAudio SharedPartAudio(const std::string& path, Codec codec, std::string* error) {
  const std::optional<Identity> identity = IdentityOf(path);
  if (identity) {
    if (PartAudio found = Find(path, codec, *identity)) return found;
  }
  std::lock_guard loading(g_load_mutex);
  if (identity) {
    if (PartAudio found = Find(path, codec, *identity)) return found;
  }
  std::optional<std::vector<std::uint8_t>> bytes = LoadPartAudio(path, codec, error);
  if (!bytes) return nullptr;
  auto audio = std::make_shared<const std::vector<std::uint8_t>>(std::move(*bytes));
  // A file that changed while it was loaded is kept under its new identity
  // only if that is what was loaded: otherwise it is loaded again next time.
  if (identity && IdentityOf(path) == identity) {
    std::lock_guard lock(g_kept_mutex);
    std::erase_if(g_kept,
                  [&](const Kept& kept) { return kept.path == path && kept.codec == codec; });
    g_kept.insert(g_kept.begin(), Kept{path, codec, *identity, audio});
    if (g_kept.size() > kKeptPartAudios) g_kept.pop_back();
  }
  return audio;
}

std::size_t TakeFrame(const std::vector<PartAudio>& parts, std::size_t* part, std::size_t* at,
                      std::span<std::uint8_t> frame) {
  std::size_t taken = 0;
  while (taken < frame.size() && *part < parts.size()) {
    const std::vector<std::uint8_t>& bytes = *parts[*part];
    const std::size_t n = std::min(bytes.size() - *at, frame.size() - taken);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(*at), n, frame.begin() + taken);
    taken += n;
    *at += n;
    if (*at == bytes.size()) {
      ++*part;
      *at = 0;
    }
  }
  return taken;
}

}  // namespace ringwell::host::sip
