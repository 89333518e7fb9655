#include "LCSleepAssertion.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

uint32_t LCPreventIdleSleep(const char* reason) {
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, reason, kCFStringEncodingUTF8);
  if (!name) return 0;
  IOPMAssertionID assertion = kIOPMNullAssertionID;
  const IOReturn result = IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleSystemSleep,
                                                      kIOPMAssertionLevelOn, name, &assertion);
  CFRelease(name);
  return result == kIOReturnSuccess ? assertion : 0;
}

void LCAllowIdleSleep(uint32_t assertion) {
  if (assertion != 0) IOPMAssertionRelease(assertion);
}
