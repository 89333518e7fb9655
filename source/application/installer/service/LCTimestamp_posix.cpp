#include <time.h>

#include "LCTimestamp.h"

KWString LCFormatWeekYearTimestamp() {
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char buffer[32];
  // %G is the ISO 8601 week-based year, the closest POSIX has to the
  // formatter's "YYYY"; both differ from the calendar year only around New Year.
  const size_t length = strftime(buffer, sizeof(buffer), "%G%m%d%H%M%S", &local);
  return KWString(buffer, length);
}
