// clang's thread-safety annotations, and a mutex and lock that carry them.
// Built with clang and -Wthread-safety, the compiler checks that a member
// marked RINGWELL_GUARDED_BY(mutex_) is only touched with mutex_ held, and
// that a function marked RINGWELL_REQUIRES(mutex_) is only called so; other
// compilers (g++) ignore the annotations. scripts/thread-safety-check runs
// that compile over the host's sources.
//
// std::mutex carries no annotations in libstdc++, so annotated classes use
// Mutex and MutexLock: a std::mutex and a std::unique_lock underneath, the
// lock's native() handle for waiting on a std::condition_variable. The
// analysis cannot see into lambdas: write wait predicates as loops or as
// member functions marked RINGWELL_REQUIRES.
//
// Thread-safety: Mutex is a mutex; a MutexLock belongs to the thread that
// made it.
#pragma once

#include <mutex>

#if defined(__clang__)
#define RINGWELL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RINGWELL_THREAD_ANNOTATION(x)
#endif

#define RINGWELL_CAPABILITY(name) RINGWELL_THREAD_ANNOTATION(capability(name))
#define RINGWELL_SCOPED_CAPABILITY RINGWELL_THREAD_ANNOTATION(scoped_lockable)
#define RINGWELL_GUARDED_BY(x) RINGWELL_THREAD_ANNOTATION(guarded_by(x))
#define RINGWELL_PT_GUARDED_BY(x) RINGWELL_THREAD_ANNOTATION(pt_guarded_by(x))
#define RINGWELL_REQUIRES(...) RINGWELL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define RINGWELL_EXCLUDES(...) RINGWELL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RINGWELL_ACQUIRE(...) RINGWELL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RINGWELL_RELEASE(...) RINGWELL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RINGWELL_NO_THREAD_SAFETY_ANALYSIS RINGWELL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace ringwell::host {

class RINGWELL_CAPABILITY("mutex") Mutex {
 public:
  void Lock() RINGWELL_ACQUIRE() { mutex_.lock(); }
  void Unlock() RINGWELL_RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex from construction to destruction (or Unlock).
class RINGWELL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) RINGWELL_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RINGWELL_RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Lets go of the mutex before the end of the scope.
  void Unlock() RINGWELL_RELEASE() { lock_.unlock(); }

  // For std::condition_variable's waits, which release the mutex while they
  // wait and hold it again when they return.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace ringwell::host
