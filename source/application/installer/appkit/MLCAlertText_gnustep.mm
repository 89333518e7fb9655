#include "MLCAlertText.h"

#include "MLCInstallerUIAppKit.h"

// GNUstep draws the message text as a single title line, cut at the panel's
// edge; only the informative text is laid out over several lines.
void MLCSetAlertTexts(NSAlert* alert, const KWString& title, const KWString& message) {
  [alert setMessageText:MLCToNSString(title)];
  [alert setInformativeText:MLCToNSString(message)];
}

// GNUstep builds an alert's panel only inside runModal (macOS at init); the
// box is made the installer window's own as soon as its panel exists.
@interface NSAlert (MLCDeferredPanel)
- (void)_setupPanel;
@end

@interface MLCAlert : NSAlert
@end

namespace {
void (*g_makeBox)(NSWindow*) = nullptr;  // main thread
}

@implementation MLCAlert
- (void)_setupPanel {
  if ([NSAlert instancesRespondToSelector:@selector(_setupPanel)]) [super _setupPanel];
  if (g_makeBox) g_makeBox([self window]);
}
@end

NSAlert* MLCNewAlert(void (*makeBox)(NSWindow* panel)) {
  g_makeBox = makeBox;
  return [[[MLCAlert alloc] init] autorelease];
}

void MLCAlertReadyToRun(NSAlert* alert) {
  // A GNUstep without the deferred panel has it already.
  if (![NSAlert instancesRespondToSelector:@selector(_setupPanel)] && g_makeBox) g_makeBox([alert window]);
}
