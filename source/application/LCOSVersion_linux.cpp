#include "KWSystemUtils.h"
#include "LCOSVersion.h"

// Not macOS: name the system that runs the installer ("linux 6.1.0") and let
// the macOS version gate pass.
KWString GetOSVersion() { return KWSystemUtils::GetOSVersion(); }

bool IsOSXMountainLionOrGreater() { return true; }
