// Where an alert shows its title and message differs between AppKits.
// Objective-C++ only.
#pragma once

#import <AppKit/AppKit.h>

#include "KWString.h"

// Puts the title and the message into the alert so that the whole message is
// shown and wrapped.
void MLCSetAlertTexts(NSAlert* alert, const KWString& title, const KWString& message);
