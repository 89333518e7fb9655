#include "MLCUserNotification.h"

// GNUstep has no UserNotifications; the desktop's notification service is
// the caller's fallback.
bool MLCPostUserNotification(NSString* identifier, NSString* title, NSString* body) {
  (void)identifier;
  (void)title;
  (void)body;
  return false;
}

const char* MLCBackgroundNoticeKey() { return "notification.text.tray"; }
