// The system's user notifications (UserNotifications, macOS 10.14 on), with
// the user's permission asked first. Objective-C++ only; main thread.
//
//   if (!MLCPostUserNotification(@"com.example.id", @"Title", @"Body")) useAnotherWay();
#pragma once

#import <Foundation/Foundation.h>

// Asks for permission and posts the notice once it is given (on the main
// thread), or drops it with one log line if it is refused. False where the
// system has no user notifications (older macOS, GNUstep): nothing was done.
bool MLCPostUserNotification(NSString* identifier, NSString* title, NSString* body);

// The text key of the notice that the installation goes on without the
// window: it names where the installer is (the system tray, the menu bar).
const char* MLCBackgroundNoticeKey();
