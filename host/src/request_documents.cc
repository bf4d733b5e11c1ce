#include "request_documents.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::host {
namespace {

struct Kept {
  std::shared_ptr<const std::string> text;
  std::shared_ptr<const xml::Document> document;  // nullptr: not well-formed
};

// The kept documents, the most recently used first, under g_kept_mutex
// (held only to look at or change the list: texts are compared outside it).
// g_parse_mutex is held while a new text is parsed, so lines that want a new
// request at once wait for one parse of it rather than each making its own.
Mutex g_kept_mutex;
std::vector<Kept> g_kept RINGWELL_GUARDED_BY(g_kept_mutex);
Mutex g_parse_mutex;

std::optional<Kept> Find(std::string_view request_xml) {
  std::vector<Kept> kept;
  {
    MutexLock lock(g_kept_mutex);
    kept = g_kept;
  }
  for (const Kept& candidate : kept) {
    if (*candidate.text != request_xml) continue;
    MutexLock lock(g_kept_mutex);
    const auto it = std::find_if(g_kept.begin(), g_kept.end(),
                                 [&](const Kept& k) { return k.text == candidate.text; });
    if (it != g_kept.end()) std::rotate(g_kept.begin(), it, it + 1);
    return candidate;
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<const xml::Document> SharedRequestDocument(std::string_view request_xml) {
  if (std::optional<Kept> found = Find(request_xml)) return found->document;
  MutexLock parsing(g_parse_mutex);
  if (std::optional<Kept> found = Find(request_xml)) return found->document;
  auto document = std::make_shared<xml::Document>();
  if (document->LoadXml(request_xml) != S_OK) document.reset();
  Kept made{std::make_shared<const std::string>(request_xml), document};
  MutexLock lock(g_kept_mutex);
  g_kept.insert(g_kept.begin(), std::move(made));
  if (g_kept.size() > kKeptRequestDocuments) g_kept.pop_back();
  return document;
}

}  // namespace ringwell::host
