// clang's thread-safety annotations, and mutexes and locks that carry them.
// Built with clang and -Wthread-safety, the compiler checks that a member
// marked RINGWELL_GUARDED_BY(mutex_) is only touched with mutex_ held, and
// that a function marked RINGWELL_REQUIRES(mutex_) is only called so; other
// compilers (g++) ignore the annotations. scripts/thread-safety-check runs
// that compile over the threaded parts (the API, the scheduler, the report
// generator and the host).
//
// std::mutex carries no annotations in libstdc++, so annotated classes use
// Mutex and MutexLock (a std::mutex and a std::unique_lock underneath; the
// lock's native() handle serves std::condition_variable's waits),
// SharedMutex with ReaderLock and WriterLock, and RecursiveMutex with
// RecursiveMutexLock. The analysis checks a lambda as a function of its own:
// a wait predicate or callback that runs with the mutex held says so with
// mutex.AssertHeld().
//
// Thread-safety: the mutexes are mutexes; a lock belongs to the thread that
// made it.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define RINGWELL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RINGWELL_THREAD_ANNOTATION(x)
#endif

#define RINGWELL_CAPABILITY(name) RINGWELL_THREAD_ANNOTATION(capability(name))
#define RINGWELL_SCOPED_CAPABILITY RINGWELL_THREAD_ANNOTATION(scoped_lockable)
#define RINGWELL_GUARDED_BY(x) RINGWELL_THREAD_ANNOTATION(guarded_by(x))
#define RINGWELL_PT_GUARDED_BY(x) RINGWELL_THREAD_ANNOTATION(pt_guarded_by(x))
#define RINGWELL_ACQUIRED_AFTER(...) RINGWELL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define RINGWELL_REQUIRES(...) RINGWELL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define RINGWELL_REQUIRES_SHARED(...) \
  RINGWELL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define RINGWELL_EXCLUDES(...) RINGWELL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RINGWELL_ACQUIRE(...) RINGWELL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RINGWELL_ACQUIRE_SHARED(...) \
  RINGWELL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RINGWELL_RELEASE(...) RINGWELL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RINGWELL_RELEASE_SHARED(...) \
  RINGWELL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RINGWELL_RELEASE_GENERIC(...) \
  RINGWELL_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define RINGWELL_ASSERT_CAPABILITY(x) RINGWELL_THREAD_ANNOTATION(assert_capability(x))
#define RINGWELL_RETURN_CAPABILITY(x) RINGWELL_THREAD_ANNOTATION(lock_returned(x))
#define RINGWELL_NO_THREAD_SAFETY_ANALYSIS RINGWELL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace ringwell {

class RINGWELL_CAPABILITY("mutex") Mutex {
 public:
  void Lock() RINGWELL_ACQUIRE() { mutex_.lock(); }
  void Unlock() RINGWELL_RELEASE() { mutex_.unlock(); }
  // Tells the analysis that the caller holds this mutex (a lambda or
  // callback run under it); checks nothing at run time.
  void AssertHeld() const RINGWELL_ASSERT_CAPABILITY(this) {}
  // The std::mutex underneath, for a std::unique_lock handed to a caller
  // (which then says it holds the mutex with AssertHeld()).
  std::mutex& native() RINGWELL_RETURN_CAPABILITY(this) { return mutex_; }

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

  // Lets go of the mutex before the end of the scope, and takes it again.
  void Unlock() RINGWELL_RELEASE() { lock_.unlock(); }
  void Lock() RINGWELL_ACQUIRE() { lock_.lock(); }

  // For std::condition_variable's waits, which release the mutex while they
  // wait and hold it again when they return.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

// A reader-writer mutex: readers share it, a writer holds it alone.
class RINGWELL_CAPABILITY("mutex") SharedMutex {
 public:
  void Lock() RINGWELL_ACQUIRE() { mutex_.lock(); }
  void Unlock() RINGWELL_RELEASE() { mutex_.unlock(); }
  void LockShared() RINGWELL_ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void UnlockShared() RINGWELL_RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a SharedMutex shared (ReaderLock) or alone (WriterLock) for a scope.
class RINGWELL_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) RINGWELL_ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.LockShared();
  }
  ~ReaderLock() RINGWELL_RELEASE() { mutex_.UnlockShared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

class RINGWELL_SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) RINGWELL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~WriterLock() RINGWELL_RELEASE() { mutex_.Unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// A mutex the thread that holds it may take again (each Lock matched by an
// Unlock). The analysis treats it as a plain mutex.
class RINGWELL_CAPABILITY("mutex") RecursiveMutex {
 public:
  void Lock() RINGWELL_ACQUIRE() { mutex_.lock(); }
  void Unlock() RINGWELL_RELEASE() { mutex_.unlock(); }
  void AssertHeld() const RINGWELL_ASSERT_CAPABILITY(this) {}

 private:
  std::recursive_mutex mutex_;
};

class RINGWELL_SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) RINGWELL_ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.Lock();
  }
  ~RecursiveMutexLock() RINGWELL_RELEASE() { mutex_.Unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};

}  // namespace ringwell
