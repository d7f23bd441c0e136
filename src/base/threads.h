// Helper threads for a query: a thread, a mutex and a condition variable over POSIX threads,
// which report failure by return code (the library is built without exceptions, so
// std::thread's failure could not be caught). Where POSIX threads are missing, as in the
// Windows build, JIX_HAVE_THREADS is 0 and every search runs on the connection's own thread.
#pragma once

#if defined(__unix__) || defined(__APPLE__)
#define JIX_HAVE_THREADS 1
#include <pthread.h>
#include <sched.h>

class Mutex {
 public:
  Mutex() { pthread_mutex_init(&m_, nullptr); }
  ~Mutex() { pthread_mutex_destroy(&m_); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() { pthread_mutex_lock(&m_); }
  void unlock() { pthread_mutex_unlock(&m_); }
  pthread_mutex_t* native() { return &m_; }

 private:
  pthread_mutex_t m_;
};

class MutexLock {
 public:
  explicit MutexLock(Mutex& m) : m_(m) { m_.lock(); }
  ~MutexLock() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

class CondVar {
 public:
  CondVar() { pthread_cond_init(&c_, nullptr); }
  ~CondVar() { pthread_cond_destroy(&c_); }
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;
  // REQUIRES: m locked by the caller.
  void wait(Mutex& m) { pthread_cond_wait(&c_, m.native()); }
  void notify_one() { pthread_cond_signal(&c_); }
  void notify_all() { pthread_cond_broadcast(&c_); }

 private:
  pthread_cond_t c_;
};

using ThreadHandle = pthread_t;

// Runs fn(arg) on a new thread; false when the system refuses one.
inline bool thread_start(ThreadHandle* thread, void* (*fn)(void*), void* arg) {
  return pthread_create(thread, nullptr, fn, arg) == 0;
}
inline void thread_join(ThreadHandle thread) {
  pthread_join(thread, nullptr);
}
// Lets another thread have this core.
inline void thread_yield() {
  sched_yield();
}

// A short pause inside a spin-wait, so that a core's sibling thread or the memory bus is
// not flooded.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}
#else
#define JIX_HAVE_THREADS 0
#endif
