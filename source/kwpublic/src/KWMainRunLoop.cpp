#include "KWMainRunLoop.h"

#include <algorithm>

KWMainRunLoop& KWMainRunLoop::Get() {
  static KWMainRunLoop loop;
  return loop;
}

void KWMainRunLoop::Run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (m_pendingStops > 0) {
      --m_pendingStops;
      return;
    }
    if (RunOne(lock)) continue;
    Clock::time_point nextDue = Clock::time_point::max();
    for (const auto& timer : m_timers) nextDue = std::min(nextDue, timer.second.due);
    if (nextDue == Clock::time_point::max()) {
      m_wake.wait(lock);
    } else {
      m_wake.wait_until(lock, nextDue);
    }
  }
}

void KWMainRunLoop::Stop() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_pendingStops;
  m_wake.notify_all();
}

void KWMainRunLoop::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tasks.push_back(std::move(task));
  m_wake.notify_all();
}

int KWMainRunLoop::RunPending() {
  std::unique_lock<std::mutex> lock(m_mutex);
  int count = 0;
  // Bounded, so a task that posts another task cannot keep it going forever.
  for (size_t budget = m_tasks.size() + m_timers.size(); budget > 0 && RunOne(lock); --budget) ++count;
  return count;
}

void KWMainRunLoop::DiscardPending() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tasks.clear();
  m_pendingStops = 0;
}

bool KWMainRunLoop::RunOne(std::unique_lock<std::mutex>& lock) {
  if (!m_tasks.empty()) {
    std::function<void()> task = std::move(m_tasks.front());
    m_tasks.pop_front();
    lock.unlock();
    task();
    lock.lock();
    return true;
  }
  const Clock::time_point now = Clock::now();
  for (auto& timer : m_timers) {
    if (timer.second.due <= now) {
      const KWTimerID id = timer.first;
      // Skip missed ticks instead of running a burst of them.
      timer.second.due = now + timer.second.period;
      lock.unlock();
      KWFireUITimer(id);
      lock.lock();
      return true;
    }
  }
  return false;
}

bool KWMainRunLoop::ScheduleTimer(KWTimerID id, uint32_t periodMS) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::chrono::milliseconds period(periodMS);
  m_timers[id] = Timer{period, Clock::now() + period};
  m_wake.notify_all();
  return true;
}

void KWMainRunLoop::CancelTimer(KWTimerID id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_timers.erase(id);
}
