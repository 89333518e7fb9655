#include <CoreServices/CoreServices.h>
#import <Foundation/Foundation.h>

#include "LCOSVersion.h"
#include "MKWAutoReleasePoolWrapper.h"

namespace {

struct OSVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

// NSProcessInfo answers from 10.10 on; older systems only have Gestalt.
OSVersion ReadOSVersion() {
  OSVersion version;
  MKWAutoReleasePoolWrapper pool;
  NSProcessInfo* info = [NSProcessInfo processInfo];
  SEL selector = NSSelectorFromString(@"operatingSystemVersion");
  if ([info respondsToSelector:selector]) {
    NSInvocation* invocation = [NSInvocation invocationWithMethodSignature:[info methodSignatureForSelector:selector]];
    [invocation setSelector:selector];
    [invocation setTarget:info];
    [invocation invoke];
    struct {
      NSInteger major, minor, patch;
    } result = {0, 0, 0};
    [invocation getReturnValue:&result];
    version.major = static_cast<int>(result.major);
    version.minor = static_cast<int>(result.minor);
    version.patch = static_cast<int>(result.patch);
    return version;
  }
  SInt32 major = 0, minor = 0, patch = 0;
  Gestalt(gestaltSystemVersionMajor, &major);
  Gestalt(gestaltSystemVersionMinor, &minor);
  Gestalt(gestaltSystemVersionBugFix, &patch);
  version.major = major;
  version.minor = minor;
  version.patch = patch;
  return version;
}

}  // namespace

KWString GetOSVersion() {
  const OSVersion version = ReadOSVersion();
  return KWString("osx ")
      .AppendNumber(version.major)
      .Append(".")
      .AppendNumber(version.minor)
      .Append(".")
      .AppendNumber(version.patch);
}

bool IsOSXMountainLionOrGreater() {
  const OSVersion version = ReadOSVersion();
  return IsMountainLionOrGreater(version.major, version.minor);
}
