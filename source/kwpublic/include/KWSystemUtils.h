// Facts about the machine and the operating system.
#pragma once

#include <string>

#include "KWString.h"

class KWSystemUtils {
 public:
  // "osx 10.9.5" on macOS; elsewhere the system's name and release ("linux 6.1.0").
  static KWString GetOSVersion();
  // "osx" on macOS, "linux" on Linux.
  static KWString GetPlatformName();
  // Stable for one machine and never a raw hardware identifier: the hex
  // SHA-256 of the machine id with a fixed salt.
  static KWString GetDeviceToken();
  // Opens the URL in the user's browser without waiting; false if no browser
  // could be started.
  static bool OpenURL(const KWString& url);
  // The address of the desktop's own D-Bus session bus: the one the session
  // gave (unless it is "disabled:"), else the user's bus in the runtime
  // folder when there is one; empty when there is none (always on macOS).
  // Nothing should start a bus of its own when this is empty.
  static KWString GetSessionBusAddress();
  // Linux: this process becomes the parent of whatever its descendants leave
  // running when they end (a child subreaper), so that EndToolkitDaemons
  // finds the daemons the toolkit started for it. Nothing on macOS.
  static void AdoptOrphanedDescendants();
  // Ends the toolkit's own helper daemons (GNUstep's notification and
  // pasteboard servers) that this process adopted: started on its behalf,
  // they would outlive it. Waits at most a second in all; returns how many
  // were ended. Nothing on macOS, whose equivalents belong to the system.
  static int EndToolkitDaemons();
  // The macOS version a Darwin kernel release ("17.4.0", kern.osrelease)
  // belongs to, as "10.13.0": for the systems without kern.osproductversion
  // (before 10.13.4), which have no patch number of theirs to give. Empty
  // for a release that is not Darwin 5 to 19 (10.1 to 10.15).
  static std::string MacOSVersionFromDarwinRelease(const std::string& release);
};
