// Built by clang on macOS only, so the completion handlers are real blocks.
// UserNotifications is weakly linked (10.13 has none): its classes are looked
// up at run time and messaged through the protocols below.
#include "MLCUserNotification.h"

#include "KWLogger.h"

@protocol MLCUserNotificationCenter
+ (id)currentNotificationCenter;
- (void)requestAuthorizationWithOptions:(NSUInteger)options
                      completionHandler:(void (^)(BOOL granted, NSError* error))handler;
- (void)addNotificationRequest:(id)request withCompletionHandler:(void (^)(NSError* error))handler;
@end

@protocol MLCNotificationContent
- (void)setTitle:(NSString*)title;
- (void)setBody:(NSString*)body;
- (void)setSound:(id)sound;
@end

@protocol MLCNotificationRequest
+ (id)requestWithIdentifier:(NSString*)identifier content:(id)content trigger:(id)trigger;
@end

// One notice waiting for the user's answer; the answer arrives on a queue of
// the system's, and the notice is posted from the main thread.
@interface MLCPendingUserNotification : NSObject {
  NSString* m_identifier;
  NSString* m_title;
  NSString* m_body;
}
- (id)initWithIdentifier:(NSString*)identifier title:(NSString*)title body:(NSString*)body;
- (void)postIfGranted:(NSNumber*)granted;
@end

@implementation MLCPendingUserNotification
- (id)initWithIdentifier:(NSString*)identifier title:(NSString*)title body:(NSString*)body {
  if ((self = [super init])) {
    m_identifier = [identifier copy];
    m_title = [title copy];
    m_body = [body copy];
  }
  return self;
}

- (void)dealloc {
  [m_identifier release];
  [m_title release];
  [m_body release];
  [super dealloc];
}

- (void)postIfGranted:(NSNumber*)granted {
  if (![granted boolValue]) {
    KWLOG("UI: notifications are not allowed; the background notice is dropped");
    return;
  }
  Class<MLCUserNotificationCenter> centerClass = NSClassFromString(@"UNUserNotificationCenter");
  Class contentClass = NSClassFromString(@"UNMutableNotificationContent");
  Class<MLCNotificationRequest> requestClass = NSClassFromString(@"UNNotificationRequest");
  id<MLCUserNotificationCenter> center = [centerClass currentNotificationCenter];
  id<MLCNotificationContent> content = [[contentClass alloc] init];
  [content setTitle:m_title];
  [content setBody:m_body];
  [content setSound:nil];
  id request = [requestClass requestWithIdentifier:m_identifier content:content trigger:nil];
  [center addNotificationRequest:request
           withCompletionHandler:^(NSError* error) {
             if (error) KWLOG("UI: the background notice was not posted: %s", [[error description] UTF8String]);
           }];
  [(id)content release];
}
@end

bool MLCPostUserNotification(NSString* identifier, NSString* title, NSString* body) {
  Class<MLCUserNotificationCenter> centerClass = NSClassFromString(@"UNUserNotificationCenter");
  if (!centerClass || !NSClassFromString(@"UNMutableNotificationContent") ||
      !NSClassFromString(@"UNNotificationRequest"))
    return false;
  id<MLCUserNotificationCenter> center = [centerClass currentNotificationCenter];
  if (!center) return false;
  MLCPendingUserNotification* pending = [[MLCPendingUserNotification alloc] initWithIdentifier:identifier
                                                                                         title:title
                                                                                          body:body];
  const NSUInteger alert = 1 << 2;  // UNAuthorizationOptionAlert
  // The system asks the user only the first time; later requests answer at
  // once with what the user chose. The block keeps pending alive until then.
  [center requestAuthorizationWithOptions:alert
                        completionHandler:^(BOOL granted, NSError* error) {
                          (void)error;
                          [pending performSelectorOnMainThread:@selector(postIfGranted:)
                                                    withObject:[NSNumber numberWithBool:granted]
                                                 waitUntilDone:NO];
                        }];
  [pending release];
  return true;
}

const char* MLCBackgroundNoticeKey() { return "notification.text.menu_bar"; }
