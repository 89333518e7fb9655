// The toolkit's own share of memory, for the window tests and bench/memory:
// an application with one empty borderless window of the installer's size. It says
// "shown" on its standard output once the window is on the screen.
#import <AppKit/AppKit.h>

#include <cstdio>

@interface MLCEmptyWindowReady : NSObject
- (void)shown:(id)sender;
@end

@implementation MLCEmptyWindowReady
- (void)shown:(id)sender {
  (void)sender;
  std::printf("shown\n");
  std::fflush(stdout);
}
@end

int main() {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  NSApplication* app = [NSApplication sharedApplication];
  NSWindow* window = [[NSWindow alloc] initWithContentRect:NSMakeRect(100, 100, 868, 592)
                                                 styleMask:NSWindowStyleMaskBorderless
                                                   backing:NSBackingStoreBuffered
                                                     defer:NO];
  [window makeKeyAndOrderFront:nil];
  MLCEmptyWindowReady* ready = [[MLCEmptyWindowReady alloc] init];
  [ready performSelector:@selector(shown:) withObject:nil afterDelay:0.0];
  [app run];
  [ready release];
  [window release];
  [pool release];
  return 0;
}
