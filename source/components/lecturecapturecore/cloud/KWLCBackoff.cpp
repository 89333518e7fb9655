#include "KWLCBackoff.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

namespace {

using std::chrono::milliseconds;

// Part restarts: 0.5, 1, 2, 4, then 8 s each, half of each random. When the
// origin drops, the parts in flight fail together and spend the file's
// restarts at once, so these only spread a wave out and ride over a short
// glitch; a longer outage is outlasted by the stage attempts below.
const KWLCBackoffSchedule kPartRestarts = {milliseconds(500), 2.0, milliseconds(8000), 0.5, milliseconds(20000), false};
// Stage attempts: 5, 10, 20 and 20 s before attempts 2 to 5, a quarter of
// each random: 41 to 55 s in all, so an outage of 30 s is outlasted and a
// permanent failure is reported in about a minute.
const KWLCBackoffSchedule kStageAttempts = {milliseconds(5000),  2.0,  milliseconds(20000), 0.25,
                                            milliseconds(20000), false};

// The abort flag has no way to wake a sleeper, so a wait looks at it this often.
const milliseconds kAbortPollInterval(10);

std::mutex g_schedulesMutex;
KWLCBackoffSchedule g_partRestarts = kPartRestarts;    // guarded by g_schedulesMutex
KWLCBackoffSchedule g_stageAttempts = kStageAttempts;  // guarded by g_schedulesMutex

}  // namespace

KWLCBackoff::KWLCBackoff(const KWLCBackoffSchedule& schedule)
    : m_schedule(schedule), m_random(std::random_device()()) {}

milliseconds KWLCBackoff::Delay(unsigned retry, long retryAfterSeconds) {
  if (m_schedule.m_immediate) return milliseconds(0);
  const double grown = static_cast<double>(m_schedule.m_firstDelay.count()) *
                       std::pow(m_schedule.m_factor, static_cast<double>(std::min(retry, 64u)));
  const double capped = std::min(grown, static_cast<double>(m_schedule.m_maxDelay.count()));
  double share;
  {
    std::lock_guard<std::mutex> lock(m_randomMutex);
    share = std::uniform_real_distribution<double>(0.0, 1.0)(m_random);
  }
  const double jitter = std::min(std::max(m_schedule.m_jitter, 0.0), 1.0);
  milliseconds delay(static_cast<long long>(capped * (1.0 - jitter * share)));
  if (retryAfterSeconds >= 0) {
    const milliseconds asked =
        std::min<milliseconds>(std::chrono::seconds(std::min(retryAfterSeconds, 86400L)), m_schedule.m_maxRetryAfter);
    delay = std::max(delay, asked);
  }
  return delay;
}

bool KWLCBackoff::Wait(milliseconds delay, const KWAbortFlag& abortFlag) {
  const auto end = std::chrono::steady_clock::now() + delay;
  while (!abortFlag) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kAbortPollInterval));
  }
  return false;
}

KWLCBackoffSchedule KWLCBackoff::PartRestarts() {
  std::lock_guard<std::mutex> lock(g_schedulesMutex);
  return g_partRestarts;
}

KWLCBackoffSchedule KWLCBackoff::StageAttempts() {
  std::lock_guard<std::mutex> lock(g_schedulesMutex);
  return g_stageAttempts;
}

void KWLCBackoff::SetPartRestarts(const KWLCBackoffSchedule& schedule) {
  std::lock_guard<std::mutex> lock(g_schedulesMutex);
  g_partRestarts = schedule;
}

void KWLCBackoff::SetStageAttempts(const KWLCBackoffSchedule& schedule) {
  std::lock_guard<std::mutex> lock(g_schedulesMutex);
  g_stageAttempts = schedule;
}

void KWLCBackoff::ResetSchedules(bool immediate) {
  std::lock_guard<std::mutex> lock(g_schedulesMutex);
  g_partRestarts = kPartRestarts;
  g_stageAttempts = kStageAttempts;
  g_partRestarts.m_immediate = immediate;
  g_stageAttempts.m_immediate = immediate;
}

long KWLCBackoff::ParseRetryAfter(const char* value) {
  if (value == nullptr) return -1;
  while (*value == ' ' || *value == '\t') ++value;
  if (*value >= '0' && *value <= '9') {
    char* end = nullptr;
    const unsigned long long seconds = strtoull(value, &end, 10);
    return static_cast<long>(std::min<unsigned long long>(seconds, 86400ull));
  }
  // An HTTP date: the wait is until then, never negative.
  const time_t when = curl_getdate(value, nullptr);
  if (when == -1) return -1;
  const time_t now = time(nullptr);
  return when > now ? static_cast<long>(std::min<time_t>(when - now, 86400)) : 0;
}
