#include "LCKeepAwake.h"

#include <atomic>

namespace {
std::atomic<LCKeepAwake*> g_forTesting{nullptr};
}  // namespace

LCKeepAwake& LCKeepAwake::Get() {
  LCKeepAwake* testing = g_forTesting.load();
  return testing ? *testing : LCPlatformKeepAwake();
}

void LCKeepAwake::SetForTesting(LCKeepAwake* keepAwake) { g_forTesting = keepAwake; }
