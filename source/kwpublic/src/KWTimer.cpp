#include "KWTimer.h"

#include <chrono>
#include <map>
#include <mutex>

#include "KWMainRunLoop.h"

namespace {

struct KWTimerEntry {
  KWTimerCallback callback;
  void* data;
};

std::mutex g_timerMutex;
bool g_serviceRunning = false;               // guarded by g_timerMutex
KWTimerID g_nextTimerID = 1;                 // guarded by g_timerMutex
std::map<KWTimerID, KWTimerEntry> g_timers;  // guarded by g_timerMutex
IKWUITimerBackend* g_backend = nullptr;      // guarded by g_timerMutex

IKWUITimerBackend& BackendLocked() { return g_backend ? *g_backend : KWMainRunLoop::Get(); }

const std::chrono::steady_clock::time_point g_appStart = std::chrono::steady_clock::now();

}  // namespace

bool KWCreateTimerService() {
  std::lock_guard<std::mutex> lock(g_timerMutex);
  g_serviceRunning = true;
  return true;
}

void KWDestroyTimerService() {
  std::lock_guard<std::mutex> lock(g_timerMutex);
  for (const auto& timer : g_timers) BackendLocked().CancelTimer(timer.first);
  g_timers.clear();
  g_serviceRunning = false;
}

void KWSetUITimerBackend(IKWUITimerBackend* backend) {
  std::lock_guard<std::mutex> lock(g_timerMutex);
  g_backend = backend;
}

bool KWCreateUITimer(uint32_t periodMS, KWTimerID* timerID, KWTimerCallback callback, void* data) {
  std::lock_guard<std::mutex> lock(g_timerMutex);
  if (!g_serviceRunning || !callback || periodMS == 0) return false;
  const KWTimerID id = g_nextTimerID++;
  g_timers[id] = KWTimerEntry{callback, data};
  if (!BackendLocked().ScheduleTimer(id, periodMS)) {
    g_timers.erase(id);
    return false;
  }
  if (timerID) *timerID = id;
  return true;
}

bool KWKillUITimer(KWTimerID timerID) {
  std::lock_guard<std::mutex> lock(g_timerMutex);
  auto found = g_timers.find(timerID);
  if (found == g_timers.end()) return false;
  BackendLocked().CancelTimer(timerID);
  g_timers.erase(found);
  return true;
}

void KWFireUITimer(KWTimerID timerID) {
  KWTimerEntry entry;
  {
    std::lock_guard<std::mutex> lock(g_timerMutex);
    auto found = g_timers.find(timerID);
    if (found == g_timers.end()) return;
    entry = found->second;
  }
  // Called without the lock: the callback may create or kill timers.
  entry.callback(timerID, entry.data);
}

uint64_t KWGetTickCountSinceAppStartTimeNS100() {
  const auto elapsed = std::chrono::steady_clock::now() - g_appStart;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}
