#include "LCDesktopNotification.h"

bool LCShowDesktopNotification(const char*, const char*) { return false; }
