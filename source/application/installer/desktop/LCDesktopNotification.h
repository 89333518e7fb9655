// A notification through the desktop's notification service, where AppKit has
// no user notifications. Main thread.
#pragma once

// False when no notification service is there (nothing is shown) or the
// system has none (macOS, where AppKit's notifications are used).
bool LCShowDesktopNotification(const char* title, const char* text);
