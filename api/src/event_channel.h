// The text of one streamed response (Server-Sent Events), produced by other
// threads and sent by the HTTP server as it comes. While there is nothing to
// send the server parks the connection (libmicrohttpd's suspend), and the next
// Push or Finish wakes it (resume): no thread waits and nothing polls.
//
// Thread-safety: every method may be called from any thread. The suspend and
// resume functions are called with the channel's mutex held, so a wake can
// never fall between "nothing to send" and the parking of the connection.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::api {

class EventChannel {
 public:
  // Producers: adds text to send; ends the stream after what was added. Both
  // do nothing once the client is gone.
  void Push(std::string_view text);
  void Finish();
  bool Gone() const;
  // `release` is called once when the connection is gone (the stream's slot
  // of its token is given back then).
  void OnClose(std::function<void()> release);

  // The server: binds the channel to its connection.
  void Bind(std::function<void()> suspend, std::function<void()> resume);
  // Copies up to `max` bytes into `buffer`: their number; 0 after parking the
  // connection (nothing to send now); -1 at the end of the stream.
  long Read(char* buffer, std::size_t max);
  // The client hung up: the stream ends now, whatever is pending.
  void Abandon();
  // The connection is gone.
  void Unbind();

 private:
  mutable Mutex mutex_;
  std::string pending_ RINGWELL_GUARDED_BY(mutex_);
  bool finished_ RINGWELL_GUARDED_BY(mutex_) = false;
  bool suspended_ RINGWELL_GUARDED_BY(mutex_) = false;
  bool gone_ RINGWELL_GUARDED_BY(mutex_) = false;
  std::function<void()> suspend_ RINGWELL_GUARDED_BY(mutex_);
  std::function<void()> resume_ RINGWELL_GUARDED_BY(mutex_);
  std::function<void()> release_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::api
