// The operating-system version as the installer reports and checks it.
#pragma once

#include "KWString.h"

// "osx 10.9.5" on macOS; elsewhere the system's own name and release.
KWString GetOSVersion();
// True on macOS 10.8 or later; a system that is not macOS passes.
bool IsOSXMountainLionOrGreater();
// The comparison itself, for any version numbers.
bool IsMountainLionOrGreater(int major, int minor);
