// The local date and time as 14 digits with the week-based year first
// ("YYYYMMddHHmmss"): the time stamp inside analytics user ids.
#pragma once

#include "KWString.h"

KWString LCFormatWeekYearTimestamp();
