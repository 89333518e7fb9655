// Desktop notifications through the freedesktop notification service
// (libnotify over the D-Bus session bus).
#include <libnotify/notify.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "KWSystemUtils.h"
#include "LCDesktopNotification.h"

bool LCShowDesktopNotification(const char* title, const char* text) {
  // Without a session bus, GLib would start one of its own (dbus-launch) that
  // outlives the installer; only a bus the desktop already runs is used.
  if (KWSystemUtils::GetSessionBusAddress().empty()) return false;
  if (!notify_is_initted() && !notify_init("Clipvane Installer")) return false;
  // Asking for the server's name tells whether one is there, without
  // showing anything.
  char* name = nullptr;
  char* vendor = nullptr;
  char* version = nullptr;
  char* specVersion = nullptr;
  if (!notify_get_server_info(&name, &vendor, &version, &specVersion)) return false;
  g_free(name);
  g_free(vendor);
  g_free(version);
  g_free(specVersion);
  NotifyNotification* notification = notify_notification_new(title, text, nullptr);
  GError* error = nullptr;
  const bool shown = notify_notification_show(notification, &error);
  if (error) g_error_free(error);
  g_object_unref(G_OBJECT(notification));
  return shown;
}
