// Carrying work from any thread over to the main thread, where AppKit lives.
//
//   MLCRunOnMainThread([] { [window orderOut:nil]; });
//
// Objective-C++ only.
#pragma once

#include <functional>

// On the main thread the task runs at once; from any other thread it is
// queued for the main run loop's default mode and the caller goes on without
// waiting. Queued tasks run in the order they were queued, each inside an
// autorelease pool, and never while a modal box is up: stopping the
// application or raising a second box there would end or stack on the box.
void MLCRunOnMainThread(std::function<void()> task);

// Always queues the task on the main run loop's default mode, also when
// called on the main thread.
void MLCRunOnMainThreadLater(std::function<void()> task);

// Puts Foundation into its multithreaded mode; called once on the main thread
// before any other thread talks to AppKit.
void MLCPrepareForThreads();

// True on the process's main thread.
bool MLCIsMainThread();
