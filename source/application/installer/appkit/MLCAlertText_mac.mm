#include "MLCAlertText.h"

#include "MLCInstallerUIAppKit.h"

// The message text wraps here; the title is not shown.
void MLCSetAlertTexts(NSAlert* alert, const KWString& title, const KWString& message) {
  (void)title;
  [alert setMessageText:MLCToNSString(message)];
  [alert setInformativeText:@""];
}
