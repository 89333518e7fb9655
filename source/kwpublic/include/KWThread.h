// Threads and locks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

enum KWThreadPriorityEnum {
  kKWThreadPriorityLow = 0,
  kKWThreadPriorityBelowNormal = 1,
  kKWThreadPriorityNormal = 2,  // what every thread of the installer uses
  kKWThreadPriorityHigh = 3,
};

// Runs run() once on a new thread. Derived classes join before they are
// destroyed; the destructor joins a thread that is still running as a last
// resort so that a forgotten join never aborts the process.
class KWWorkerThread {
 public:
  explicit KWWorkerThread(KWThreadPriorityEnum priority) : m_priority(priority) {}
  virtual ~KWWorkerThread();
  KWWorkerThread(const KWWorkerThread&) = delete;
  KWWorkerThread& operator=(const KWWorkerThread&) = delete;

  // Runs run() on a new thread. A thread may run again after join(); a
  // start() before that join does nothing.
  void start();
  // Returns once run() has returned; at once when not started or already joined.
  void join();

 protected:
  virtual void run() = 0;

 private:
  static void Trampoline(KWWorkerThread* self);

  KWThreadPriorityEnum m_priority;
  std::thread m_thread;
  std::mutex m_joinMutex;
};

class KWMutex {
 public:
  void lock() { m_mutex.lock(); }
  void unlock() { m_mutex.unlock(); }
  bool try_lock() { return m_mutex.try_lock(); }
  std::mutex& native() { return m_mutex; }

 private:
  std::mutex m_mutex;
};

// Scoped lock: locks on construction, unlocks on destruction.
class KWLock {
 public:
  explicit KWLock(KWMutex& mutex) : m_lock(mutex.native()) {}
  std::unique_lock<std::mutex>& native() { return m_lock; }

 private:
  std::unique_lock<std::mutex> m_lock;
};

class KWCondition {
 public:
  // Releases the lock while waiting; may wake spuriously.
  void wait(KWLock& lock) { m_condition.wait(lock.native()); }
  // False on time-out.
  bool wait_for(KWLock& lock, unsigned int milliseconds) {
    return m_condition.wait_for(lock.native(), std::chrono::milliseconds(milliseconds)) == std::cv_status::no_timeout;
  }
  void notify_all() { m_condition.notify_all(); }
  void notify_one() { m_condition.notify_one(); }

 private:
  std::condition_variable m_condition;
};
