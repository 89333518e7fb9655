#import <AppKit/AppKit.h>

#include <deque>
#include <mutex>
#include <utility>

#include "MKWAutoReleasePoolWrapper.h"
#include "MLCMainThread.h"

namespace {

std::mutex g_queueMutex;
std::deque<std::function<void()> > g_queue;  // guarded by g_queueMutex
bool g_drainPosted = false;                  // guarded by g_queueMutex
const NSTimeInterval kModalRetrySeconds = 0.05;

}  // namespace

// Runs the queued tasks in order on the main run loop.
@interface MLCMainThreadQueue : NSObject
+ (void)drain;
@end

@implementation MLCMainThreadQueue
+ (void)drain {
  MKWAutoReleasePoolWrapper pool;
  for (;;) {
    // While a box is up the queue waits for it: GNUstep's modal loop also
    // runs the default mode, and a stop: or a second box there would end or
    // stack on the box the user is answering.
    if ([[NSApplication sharedApplication] modalWindow]) {
      [self performSelector:@selector(drain)
                 withObject:nil
                 afterDelay:kModalRetrySeconds
                    inModes:[NSArray arrayWithObject:NSDefaultRunLoopMode]];
      return;
    }
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(g_queueMutex);
      if (g_queue.empty()) {
        g_drainPosted = false;
        return;
      }
      task = std::move(g_queue.front());
      g_queue.pop_front();
    }
    MKWAutoReleasePoolWrapper taskPool;
    task();
  }
}
@end

// Foundation locks its shared state only once a second NSThread has existed.
@interface MLCThreadStarter : NSObject
+ (void)noop:(id)unused;
@end

@implementation MLCThreadStarter
+ (void)noop:(id)unused {
  (void)unused;
}
@end

bool MLCIsMainThread() { return [NSThread isMainThread]; }

void MLCRunOnMainThread(std::function<void()> task) {
  if (!task) return;
  if ([NSThread isMainThread]) {
    MKWAutoReleasePoolWrapper pool;
    task();
    return;
  }
  MLCRunOnMainThreadLater(std::move(task));
}

void MLCRunOnMainThreadLater(std::function<void()> task) {
  if (!task) return;
  {
    std::lock_guard<std::mutex> lock(g_queueMutex);
    g_queue.push_back(std::move(task));
    if (g_drainPosted) return;
    g_drainPosted = true;
  }
  MKWAutoReleasePoolWrapper pool;
  [MLCMainThreadQueue performSelectorOnMainThread:@selector(drain)
                                       withObject:nil
                                    waitUntilDone:NO
                                            modes:[NSArray arrayWithObject:NSDefaultRunLoopMode]];
}

void MLCPrepareForThreads() {
  MKWAutoReleasePoolWrapper pool;
  if (![NSThread isMultiThreaded]) {
    [NSThread detachNewThreadSelector:@selector(noop:) toTarget:[MLCThreadStarter class] withObject:nil];
  }
}
