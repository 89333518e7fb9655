// KWMainRunLoop: a run loop for the main thread of a build without a window
// system. It runs posted tasks and UI timers until stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "KWTimer.h"

class KWMainRunLoop : public IKWUITimerBackend {
 public:
  static KWMainRunLoop& Get();

  // Runs tasks and timers on the calling thread until Stop. A Stop that came
  // before Run makes it return at once; every Run consumes one Stop.
  void Run();
  void Stop();
  // Queues a task for the loop; callable from any thread.
  void Post(std::function<void()> task);
  // Runs what is due now without waiting; returns the number of tasks and ticks run.
  int RunPending();
  // Forgets queued tasks and Stops that no Run has consumed (between tests).
  void DiscardPending();

  bool ScheduleTimer(KWTimerID id, uint32_t periodMS) override;
  void CancelTimer(KWTimerID id) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    std::chrono::milliseconds period;
    Clock::time_point due;
  };
  bool RunOne(std::unique_lock<std::mutex>& lock);

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<std::function<void()>> m_tasks;
  std::map<KWTimerID, Timer> m_timers;
  int m_pendingStops = 0;
};
