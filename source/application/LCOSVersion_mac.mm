#import <Foundation/Foundation.h>

#include "LCOSVersion.h"
#include "MKWAutoReleasePoolWrapper.h"

namespace {

struct OSVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

// NSProcessInfo answers from 10.10 on, and the bundle needs 10.13. Called
// through an invocation because GNUstep's Foundation does not declare it; a
// system that does not answer reads as 0.0.0, which the version gate refuses.
OSVersion ReadOSVersion() {
  OSVersion version;
  MKWAutoReleasePoolWrapper pool;
  NSProcessInfo* info = [NSProcessInfo processInfo];
  SEL selector = NSSelectorFromString(@"operatingSystemVersion");
  if (![info respondsToSelector:selector]) return version;
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
