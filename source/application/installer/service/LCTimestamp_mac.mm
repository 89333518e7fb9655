#import <Foundation/Foundation.h>

#include "LCTimestamp.h"
#include "MKWAutoReleasePoolWrapper.h"

KWString LCFormatWeekYearTimestamp() {
  MKWAutoReleasePoolWrapper pool;
  NSDateFormatter* formatter = [[NSDateFormatter alloc] init];
  [formatter setDateFormat:@"YYYYMMddHHmmss"];
  NSString* text = [formatter stringFromDate:[NSDate date]];
  KWString result([text UTF8String]);
  [formatter release];
  return result;
}
