// macOS: an activity (user initiated, no idle system sleep) keeps App Nap
// from slowing the timers and the transfers of a window hidden in the menu
// bar, and a power assertion keeps the Mac from idle sleep.
#import <Foundation/Foundation.h>

#include <cstdint>
#include <mutex>

#include "KWLogger.h"
#include "LCKeepAwake.h"
#include "LCSleepAssertion.h"

namespace {

const char kReason[] = "Downloading and installing Ostrel Clipvane";

class MacKeepAwake : public LCKeepAwake {
 public:
  void Begin() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_held) return;
    m_held = true;
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    m_activity = [[[NSProcessInfo processInfo]
        beginActivityWithOptions:NSActivityUserInitiated | NSActivityIdleSystemSleepDisabled
                          reason:[NSString stringWithUTF8String:kReason]] retain];
    [pool release];
    m_assertion = LCPreventIdleSleep(kReason);
    if (m_assertion == 0) KWLOG("Keep awake: no power assertion; the Mac may sleep during the download");
    KWLOG("Keep awake: held");
  }

  void End() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_held) return;
    m_held = false;
    if (m_activity) {
      [[NSProcessInfo processInfo] endActivity:m_activity];
      [m_activity release];
      m_activity = nil;
    }
    LCAllowIdleSleep(m_assertion);
    m_assertion = 0;
    KWLOG("Keep awake: released");
  }

 private:
  std::mutex m_mutex;
  bool m_held = false;       // guarded by m_mutex
  id m_activity = nil;       // guarded by m_mutex
  uint32_t m_assertion = 0;  // guarded by m_mutex
};

}  // namespace

LCKeepAwake& LCPlatformKeepAwake() {
  static MacKeepAwake keepAwake;
  return keepAwake;
}
