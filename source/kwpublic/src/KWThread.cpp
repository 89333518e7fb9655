#include "KWThread.h"

#include <pthread.h>
#include <sched.h>

KWWorkerThread::~KWWorkerThread() { join(); }

void KWWorkerThread::start() {
  // Starting again before join is refused: assigning over a joinable
  // std::thread would end the process.
  std::lock_guard<std::mutex> lock(m_joinMutex);
  if (m_thread.joinable()) return;
  m_thread = std::thread(&KWWorkerThread::Trampoline, this);
}

void KWWorkerThread::join() {
  std::lock_guard<std::mutex> lock(m_joinMutex);
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void KWWorkerThread::Trampoline(KWWorkerThread* self) {
  // Normal priority is what a new thread already has; lower ones only nudge
  // the scheduler and need no privileges.
  if (self->m_priority < kKWThreadPriorityNormal) {
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
  }
  self->run();
}
