// Locks the compiler can check. Fields shared between threads name the lock
// that guards them (ORVELLA_GUARDED_BY), functions say which locks they need
// or must not hold (ORVELLA_REQUIRES, ORVELLA_EXCLUDES); clang's
// -Wthread-safety (preset "clang") turns a missed lock into a build error.
// Other compilers see plain std::mutex wrappers.
//
// Condition waits are written as loops over MutexLock::Wait / WaitUntil, so the
// guarded fields they test are read in the annotated function itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ORVELLA_TSA(x) __attribute__((x))
#else
#define ORVELLA_TSA(x)
#endif

#define ORVELLA_CAPABILITY(x) ORVELLA_TSA(capability(x))
#define ORVELLA_SCOPED_CAPABILITY ORVELLA_TSA(scoped_lockable)
#define ORVELLA_GUARDED_BY(x) ORVELLA_TSA(guarded_by(x))
#define ORVELLA_PT_GUARDED_BY(x) ORVELLA_TSA(pt_guarded_by(x))
#define ORVELLA_REQUIRES(...) ORVELLA_TSA(requires_capability(__VA_ARGS__))
#define ORVELLA_EXCLUDES(...) ORVELLA_TSA(locks_excluded(__VA_ARGS__))
#define ORVELLA_ACQUIRE(...) ORVELLA_TSA(acquire_capability(__VA_ARGS__))
#define ORVELLA_TRY_ACQUIRE(...) ORVELLA_TSA(try_acquire_capability(__VA_ARGS__))
#define ORVELLA_RELEASE(...) ORVELLA_TSA(release_capability(__VA_ARGS__))
#define ORVELLA_RETURN_CAPABILITY(x) ORVELLA_TSA(lock_returned(x))
#define ORVELLA_NO_THREAD_SAFETY_ANALYSIS ORVELLA_TSA(no_thread_safety_analysis)

namespace orvella {

class ORVELLA_CAPABILITY("mutex") Mutex {
 public:
  void lock() ORVELLA_ACQUIRE() { m.lock(); }
  void unlock() ORVELLA_RELEASE() { m.unlock(); }
  bool try_lock() ORVELLA_TRY_ACQUIRE(true) { return m.try_lock(); }
  std::mutex& native() { return m; }

 private:
  std::mutex m;
};

// Same-thread re-entry allowed (a host callback run inside the lock that
// comes back into the driver).
class ORVELLA_CAPABILITY("mutex") RecursiveMutex {
 public:
  void lock() ORVELLA_ACQUIRE() { m.lock(); }
  void unlock() ORVELLA_RELEASE() { m.unlock(); }
  bool try_lock() ORVELLA_TRY_ACQUIRE(true) { return m.try_lock(); }

 private:
  std::recursive_mutex m;
};

// Scoped lock for either mutex type.
template <class M>
class ORVELLA_SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(M& mutex) ORVELLA_ACQUIRE(mutex) : m(mutex) { m.lock(); }
  ~ScopedLock() ORVELLA_RELEASE() { m.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  M& m;
};

// Scoped lock of a Mutex that can wait on a condition variable.
class ORVELLA_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ORVELLA_ACQUIRE(mutex) : lock(mutex.native()) {}
  ~MutexLock() ORVELLA_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // One wait; the caller loops on its own condition (spurious wake-ups).
  void Wait(std::condition_variable& cv) { cv.wait(lock); }
  // False when the deadline passed.
  bool WaitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) {
    return cv.wait_until(lock, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock;
};

}  // namespace orvella
