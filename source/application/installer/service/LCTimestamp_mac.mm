#import <Foundation/Foundation.h>

#include "LCTimestamp.h"
#include "MKWAutoReleasePoolWrapper.h"

// The user's locale and calendar would change the digits, the hour's form
// or the year (another calendar's, or another script's numerals): the
// timestamp must read the same on every Mac, or the user id changes.
KWString LCFormatWeekYearTimestamp() {
  MKWAutoReleasePoolWrapper pool;
  NSDateFormatter* formatter = [[[NSDateFormatter alloc] init] autorelease];
  [formatter setLocale:[[[NSLocale alloc] initWithLocaleIdentifier:@"en_US_POSIX"] autorelease]];
  [formatter setCalendar:[[[NSCalendar alloc] initWithCalendarIdentifier:NSCalendarIdentifierGregorian] autorelease]];
  [formatter setDateFormat:@"YYYYMMddHHmmss"];
  NSString* text = [formatter stringFromDate:[NSDate date]];
  return KWString([text UTF8String]);
}
