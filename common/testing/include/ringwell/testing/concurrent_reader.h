// A reader that looks at files while another part writes them, as a peer
// polling a directory does: it lists a directory over and over on a thread of
// its own and parses every XML file it finds there. A file it finds but
// cannot parse (written in place, seen half-written or empty) is a fault the
// writer must never show; the test then names it.
//
// Thread-safety: the reader's thread only touches the object's atomics and
// its mutex-guarded list; the object belongs to the test's thread.
#pragma once

#include <dirent.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ringwell/common/files.h"
#include "ringwell/common/xml.h"

namespace ringwell::testing {

class ConcurrentXmlReader {
 public:
  // Reads the files of `dir` whose names `wanted` accepts (by default every
  // "*.xml" whose name does not start with a dot: temporary and withdrawn
  // names are not the writer's published files).
  explicit ConcurrentXmlReader(std::string dir,
                               std::function<bool(const std::string&)> wanted = PublishedXml)
      : dir_(std::move(dir)), wanted_(std::move(wanted)), thread_([this](std::stop_token stop) {
          while (!stop.stop_requested()) Pass();
        }) {}
  ConcurrentXmlReader(const ConcurrentXmlReader&) = delete;
  ConcurrentXmlReader& operator=(const ConcurrentXmlReader&) = delete;
  ~ConcurrentXmlReader() { Stop(); }

  static bool PublishedXml(const std::string& name) {
    return !name.starts_with(".") && name.ends_with(".xml");
  }

  // Ends the reading; what was seen stays readable.
  void Stop() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
  }
  // Files parsed whole so far.
  int parsed() const { return parsed_; }
  // Waits (generously) until at least `count` files have been parsed.
  bool WaitForParsed(int count) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (parsed_ < count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return parsed_ >= count;
  }
  // "name: reason (first bytes)" of every file seen unparsable.
  std::vector<std::string> Unparsable() const {
    std::lock_guard lock(mutex_);
    return unparsable_;
  }

 private:
  void Pass() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(dir_.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        if (wanted_(entry->d_name)) names.emplace_back(entry->d_name);
      }
      ::closedir(dir);
    }
    for (const std::string& name : names) {
      std::string content;
      // A file gone between the listing and the open was renamed or removed
      // whole: nothing was shown half.
      if (Failed(ReadWholeFile(dir_ + "/" + name, &content))) continue;
      xml::Document document;
      std::string reason;
      if (document.LoadXml(content, &reason) == S_OK) {
        ++parsed_;
      } else {
        std::lock_guard lock(mutex_);
        if (unparsable_.size() < 20) {
          unparsable_.push_back(name + ": " + reason + " (" + std::to_string(content.size()) +
                                " bytes: " + content.substr(0, 60) + ")");
        }
      }
    }
  }

  const std::string dir_;
  const std::function<bool(const std::string&)> wanted_;
  std::atomic<int> parsed_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> unparsable_;
  std::jthread thread_;  // last: starts once everything it uses is made
};

}  // namespace ringwell::testing
