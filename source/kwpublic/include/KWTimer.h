// Repeating timers whose callbacks run on the main thread.
//
// The timer service keeps the table of timers; a main-loop backend decides how
// they fire. By default that is KWMainRunLoop (a headless run loop that the
// caller runs on its main thread); a windowing layer installs its own backend
// with KWSetUITimerBackend before creating timers.
#pragma once

#include <cstdint>

typedef uint32_t KWTimerID;
typedef void (*KWTimerCallback)(KWTimerID timerID, void* data);

class IKWUITimerBackend {
 public:
  virtual ~IKWUITimerBackend() {}
  // Schedules a repeating tick; every tick calls KWFireUITimer(id) on the main thread.
  virtual bool ScheduleTimer(KWTimerID id, uint32_t periodMS) = 0;
  virtual void CancelTimer(KWTimerID id) = 0;
};

bool KWCreateTimerService();
void KWDestroyTimerService();
// Null restores the default backend.
void KWSetUITimerBackend(IKWUITimerBackend* backend);

// Starts a timer that calls back every periodMS milliseconds on the main
// thread. Ids start at 1; 0 is never a timer. False when no service runs.
bool KWCreateUITimer(uint32_t periodMS, KWTimerID* timerID, KWTimerCallback callback, void* data);
// After this returns no further callback of the timer starts.
bool KWKillUITimer(KWTimerID timerID);
// Called by backends on the main thread for each tick.
void KWFireUITimer(KWTimerID timerID);

// Monotonic ticks of 100 ns since the process started.
uint64_t KWGetTickCountSinceAppStartTimeNS100();
