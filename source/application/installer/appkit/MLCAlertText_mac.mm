#include "MLCAlertText.h"

#include "MLCInstallerUIAppKit.h"

// The message text wraps here; the title is not shown.
void MLCSetAlertTexts(NSAlert* alert, const KWString& title, const KWString& message) {
  (void)title;
  [alert setMessageText:MLCToNSString(message)];
  [alert setInformativeText:@""];
}

namespace {
void (*g_makeBox)(NSWindow*) = nullptr;  // main thread
}

NSAlert* MLCNewAlert(void (*makeBox)(NSWindow* panel)) {
  g_makeBox = makeBox;
  return [[[NSAlert alloc] init] autorelease];
}

// The panel exists from init; its size follows the texts, so it is placed now.
void MLCAlertReadyToRun(NSAlert* alert) {
  if (g_makeBox) g_makeBox([alert window]);
}
