#import <Foundation/Foundation.h>

#include <utility>

#include "MKWAutoReleasePoolWrapper.h"
#include "MLCMainThread.h"

// One queued task. The run loop retains the object until the task has run.
@interface MLCMainThreadTask : NSObject {
  void* m_task;  // std::function<void()>*, owned
}
// Takes ownership of a heap-allocated std::function<void()>; a plain pointer
// keeps C++ types out of the method's Objective-C type encoding.
- (id)initWithTask:(void*)task;
- (void)run;
@end

@implementation MLCMainThreadTask
- (id)initWithTask:(void*)task {
  self = [super init];
  m_task = task;
  return self;
}

- (void)dealloc {
  delete static_cast<std::function<void()>*>(m_task);
  [super dealloc];
}

- (void)run {
  MKWAutoReleasePoolWrapper pool;
  (*static_cast<std::function<void()>*>(m_task))();
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
  MKWAutoReleasePoolWrapper pool;
  MLCMainThreadTask* queued = [[MLCMainThreadTask alloc] initWithTask:new std::function<void()>(std::move(task))];
  [queued performSelectorOnMainThread:@selector(run)
                           withObject:nil
                        waitUntilDone:NO
                                modes:[NSArray arrayWithObject:NSDefaultRunLoopMode]];
  [queued release];
}

void MLCPrepareForThreads() {
  MKWAutoReleasePoolWrapper pool;
  if (![NSThread isMultiThreaded]) {
    [NSThread detachNewThreadSelector:@selector(noop:) toTarget:[MLCThreadStarter class] withObject:nil];
  }
}
