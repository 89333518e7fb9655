// KWLCBackoff: how long to wait before the next try of a failed transfer, and
// the wait itself. Exponential with jitter and a cap; a server's Retry-After
// (503, 429) is honoured up to a cap of its own; the caller's abort flag ends
// a wait at once.
//
//   KWLCBackoff backoff(KWLCBackoff::StageAttempts());
//   for (unsigned retry = 0; ...; ++retry) {
//     if (!backoff.Wait(backoff.Delay(retry, retryAfterSeconds), abortFlag)) break;  // the user quit
//     ...
//   }
#pragma once

#include <chrono>
#include <mutex>
#include <random>

#include "KWAbortFlag.h"

struct KWLCBackoffSchedule {
  // Retry number 0 waits about this long; each later one m_factor times more.
  std::chrono::milliseconds m_firstDelay;
  double m_factor;
  std::chrono::milliseconds m_maxDelay;
  // Fraction of a delay that is random: the wait is drawn from
  // [delay * (1 - m_jitter), delay], so that clients that failed together
  // do not come back together.
  double m_jitter;
  // The most a server's Retry-After may make us wait.
  std::chrono::milliseconds m_maxRetryAfter;
  // No wait at all, whatever the server says: retries come back to back.
  bool m_immediate;
};

class KWLCBackoff {
 public:
  explicit KWLCBackoff(const KWLCBackoffSchedule& schedule);

  // The wait before retry number `retry` (0 for the first retry). A
  // retryAfterSeconds of 0 or more is the server's Retry-After: the wait is
  // then at least that, capped; below 0 there was none.
  std::chrono::milliseconds Delay(unsigned retry, long retryAfterSeconds = -1);

  // Sleeps for the delay; false, at once, when the abort flag is or becomes
  // set. A zero delay only looks at the flag.
  static bool Wait(std::chrono::milliseconds delay, const KWAbortFlag& abortFlag);

  // Schedules every new downloader and pipeline run takes. Process-wide, so
  // that a test or a simulation can shorten them or switch them off; set
  // them before any transfer starts.
  static KWLCBackoffSchedule PartRestarts();
  static KWLCBackoffSchedule StageAttempts();
  static void SetPartRestarts(const KWLCBackoffSchedule& schedule);
  static void SetStageAttempts(const KWLCBackoffSchedule& schedule);
  // Both schedules to their built-in values, or with immediate true, both
  // to back-to-back retries.
  static void ResetSchedules(bool immediate = false);

  // The Retry-After value of a reply in whole seconds (delta-seconds or an
  // HTTP date); -1 when absent or unreadable.
  static long ParseRetryAfter(const char* value);

 private:
  KWLCBackoffSchedule m_schedule;
  std::mutex m_randomMutex;
  std::mt19937 m_random;
};
