#import <Foundation/Foundation.h>

#include "LCLocale.h"

// The languages of System Settings' list, in its order ("de-DE", "fr-CA").
std::vector<std::string> LCLocale::SystemPreferences() {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  std::vector<std::string> preferences;
  NSArray* languages = [NSLocale preferredLanguages];
  for (NSUInteger i = 0; i < [languages count]; ++i) {
    const char* language = [[languages objectAtIndex:i] UTF8String];
    if (language) preferences.push_back(language);
  }
  [pool release];
  return preferences;
}
