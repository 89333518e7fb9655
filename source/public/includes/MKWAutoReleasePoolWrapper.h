// MKWAutoReleasePoolWrapper: one NSAutoreleasePool for the scope of a local.
// Objective-C++ only.
#pragma once

#ifdef __OBJC__
#import <Foundation/Foundation.h>

class MKWAutoReleasePoolWrapper {
 public:
  MKWAutoReleasePoolWrapper() : m_pool([[NSAutoreleasePool alloc] init]) {}
  ~MKWAutoReleasePoolWrapper() {
    if (m_pool) [m_pool release];
  }
  MKWAutoReleasePoolWrapper(const MKWAutoReleasePoolWrapper&) = delete;
  MKWAutoReleasePoolWrapper& operator=(const MKWAutoReleasePoolWrapper&) = delete;

 private:
  NSAutoreleasePool* m_pool;
};
#endif
