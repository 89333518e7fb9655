// The clocks of the UI core: the slideshow, the busy animation and the stall
// test read the time only through ILCInstallerUIClock, so that a test can
// set it instead of sleeping.
#pragma once

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>

class ILCInstallerUIClock {
 public:
  // The process-wide clock: local time from Boost's clocks, or the one a test installed.
  static ILCInstallerUIClock& GetInstance();
  // Null restores the system clock. The clock must outlive every core using it.
  static void SetInstanceForTesting(ILCInstallerUIClock* clock);

  virtual ~ILCInstallerUIClock() {}
  // Local time in whole seconds.
  virtual boost::posix_time::ptime SecondClockNow() = 0;
  // Local time with microseconds.
  virtual boost::posix_time::ptime MicrosecondClockNow() = 0;
};

// A time stamp that one thread writes and another reads, whole.
class LCAtomicTime {
 public:
  LCAtomicTime() = default;
  explicit LCAtomicTime(const boost::posix_time::ptime& time) { Store(time); }
  LCAtomicTime(const LCAtomicTime&) = delete;
  LCAtomicTime& operator=(const LCAtomicTime&) = delete;

  void Store(const boost::posix_time::ptime& time);
  // not_a_date_time until the first Store.
  boost::posix_time::ptime Load() const;

 private:
  static const int64_t kNotADateTime = INT64_MIN;
  std::atomic<int64_t> m_microseconds{kNotADateTime};  // since 1970-01-01
};

// Milliseconds from `from` to `to`; 0 when either is not a date and time.
int64_t LCMillisecondsBetween(const boost::posix_time::ptime& from, const boost::posix_time::ptime& to);
