// The UI timer: KWTimers as NSTimers on the main run loop, and the pace of the
// frame tick, which rests while nothing on the screen changes on its own.
#import <AppKit/AppKit.h>

#include <map>

#include "KWTimer.h"
#include "LCInstallerUICore.h"
#include "MKWAutoReleasePoolWrapper.h"
#include "MLCInstallerWindowLayer.h"
#include "MLCMainThread.h"

@implementation MLCTimerTarget
- (void)fire:(NSTimer*)timer {
  MKWAutoReleasePoolWrapper pool;
  KWFireUITimer(static_cast<KWTimerID>([[timer userInfo] unsignedIntValue]));
}

+ (void)wake:(NSTimer*)timer {
  (void)timer;
}
@end

namespace {

// The KWTimer backend. Timers are scheduled in the modal-panel and
// event-tracking modes as well, so the frame keeps being drawn (with the
// disabled mask) while a message box is up.
class MLCUITimerBackend : public IKWUITimerBackend {
 public:
  // Called with the timer table locked, possibly on the service thread:
  // nothing here may wait for the main thread.
  // (GCC's Objective-C++ reads a capture list with commas as a message, so
  // the lambdas in these sources capture by default.)
  bool ScheduleTimer(KWTimerID timerID, uint32_t periodMS) override {
    MLCRunOnMainThread([=] { Start(timerID, periodMS); });
    return true;
  }
  void CancelTimer(KWTimerID timerID) override {
    MLCRunOnMainThread([=] { Stop(timerID); });
  }
  // Main thread. Moves the timer's next tick to delayMS from now; its period
  // resumes after that tick.
  void SetNextTick(KWTimerID id, uint32_t delayMS) {
    std::map<KWTimerID, NSTimer*>::iterator found = m_timers.find(id);
    if (found != m_timers.end()) [found->second setFireDate:[NSDate dateWithTimeIntervalSinceNow:delayMS / 1000.0]];
  }

 private:
  void Start(KWTimerID id, uint32_t periodMS) {
    if (!m_target) m_target = [[MLCTimerTarget alloc] init];
    NSTimer* timer = [NSTimer timerWithTimeInterval:periodMS / 1000.0
                                             target:m_target
                                           selector:@selector(fire:)
                                           userInfo:[NSNumber numberWithUnsignedInt:id]
                                            repeats:YES];
    NSRunLoop* runLoop = [NSRunLoop currentRunLoop];
    [runLoop addTimer:timer forMode:NSDefaultRunLoopMode];
    [runLoop addTimer:timer forMode:NSModalPanelRunLoopMode];
    [runLoop addTimer:timer forMode:NSEventTrackingRunLoopMode];
    m_timers[id] = [timer retain];
  }
  void Stop(KWTimerID id) {
    std::map<KWTimerID, NSTimer*>::iterator found = m_timers.find(id);
    if (found == m_timers.end()) return;
    [found->second invalidate];
    [found->second release];
    m_timers.erase(found);
  }

  MLCTimerTarget* m_target = nil;
  std::map<KWTimerID, NSTimer*> m_timers;  // main thread only
};

MLCUITimerBackend g_timerBackend;

KWTimerID g_uiTickID = 0;      // main thread
bool g_uiTickResting = false;  // main thread

}  // namespace

void MLCInstallUITimerBackend() { KWSetUITimerBackend(&g_timerBackend); }

// Main thread. A still frame costs a wake-up per tick for nothing: when the
// core says nothing changes on its own, the tick rests until input wakes it
// (wake), with a slow tick as a safety net for a change that comes another way.
void MLCPaceUITick(LCInstallerUICore* core, bool wake) {
  const uint32_t kRestingTickMS = 1000;
  if (wake) {
    if (g_uiTickResting && g_uiTickID) g_timerBackend.SetNextTick(g_uiTickID, 0);
    g_uiTickResting = false;
    return;
  }
  g_uiTickResting = core->GetMillisecondsToNextChange() < 0;
  if (g_uiTickResting) g_timerBackend.SetNextTick(g_uiTickID, kRestingTickMS);
}

// The UI timer's tick (main thread): a frame only when something visible changed.
void MLCUITimerCallBack(KWTimerID id, void* data) {
  LCInstallerUICore* core = static_cast<LCInstallerUICore*>(data);
  g_uiTickID = id;
  core->GetTrayHelper().OnUITick();
  if (core->RenderUI()) MLCPresentFrame(core->GetRenderedUI());
  MLCPaceUITick(core, false);
}
