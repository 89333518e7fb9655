// Where an alert shows its title and message, and when it builds its panel,
// differ between AppKits. Objective-C++ only.
#pragma once

#import <AppKit/AppKit.h>

#include "KWString.h"

// Puts the title and the message into the alert so that the whole message is
// shown and wrapped.
void MLCSetAlertTexts(NSAlert* alert, const KWString& title, const KWString& message);

// A new autoreleased alert whose panel is handed to makeBox once it exists
// and its texts and buttons are laid out: at the latest in MLCAlertReadyToRun.
NSAlert* MLCNewAlert(void (*makeBox)(NSWindow* panel));
// Called after the texts and buttons are set, just before runModal.
void MLCAlertReadyToRun(NSAlert* alert);
