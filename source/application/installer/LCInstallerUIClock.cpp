#include "LCInstallerUIClock.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

class LCSystemUIClock : public ILCInstallerUIClock {
 public:
  boost::posix_time::ptime SecondClockNow() override { return boost::posix_time::second_clock::local_time(); }
  boost::posix_time::ptime MicrosecondClockNow() override { return boost::posix_time::microsec_clock::local_time(); }
};

LCSystemUIClock g_systemClock;
std::atomic<ILCInstallerUIClock*> g_testClock{nullptr};

const boost::posix_time::ptime& Epoch() {
  static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  return epoch;
}

}  // namespace

ILCInstallerUIClock& ILCInstallerUIClock::GetInstance() {
  ILCInstallerUIClock* clock = g_testClock.load();
  return clock ? *clock : g_systemClock;
}

void ILCInstallerUIClock::SetInstanceForTesting(ILCInstallerUIClock* clock) { g_testClock = clock; }

void LCAtomicTime::Store(const boost::posix_time::ptime& time) {
  m_microseconds = time.is_special() ? kNotADateTime : (time - Epoch()).total_microseconds();
}

boost::posix_time::ptime LCAtomicTime::Load() const {
  const int64_t microseconds = m_microseconds;
  if (microseconds == kNotADateTime) return boost::posix_time::ptime(boost::posix_time::not_a_date_time);
  return Epoch() + boost::posix_time::microseconds(microseconds);
}

int64_t LCMillisecondsBetween(const boost::posix_time::ptime& from, const boost::posix_time::ptime& to) {
  if (from.is_special() || to.is_special()) return 0;
  return (to - from).total_milliseconds();
}
