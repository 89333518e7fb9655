#include "LCOSVersion.h"

bool IsMountainLionOrGreater(int major, int minor) { return major == 10 ? minor >= 8 : major > 10; }
