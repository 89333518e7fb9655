// The power assertion that keeps a Mac from idle sleep (IOKit), apart from
// the Objective-C++ of LCKeepAwake_mac.mm. macOS only.
#pragma once

#include <cstdint>

// The assertion's id, or 0 when it could not be taken.
uint32_t LCPreventIdleSleep(const char* reason);
void LCAllowIdleSleep(uint32_t assertion);
