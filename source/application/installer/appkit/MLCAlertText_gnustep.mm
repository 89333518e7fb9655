#include "MLCAlertText.h"

#include "MLCInstallerUIAppKit.h"

// GNUstep draws the message text as a single title line, cut at the panel's
// edge; only the informative text is laid out over several lines.
void MLCSetAlertTexts(NSAlert* alert, const KWString& title, const KWString& message) {
  [alert setMessageText:MLCToNSString(title)];
  [alert setInformativeText:MLCToNSString(message)];
}
