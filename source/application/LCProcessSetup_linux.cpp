#include <unistd.h>

#include <cstdlib>
#include <string>

#include "LCProcessSetup.h"

// Without a session bus address, the first library that asks for the session
// bus (GNUstep's own libraries do) has D-Bus start a bus daemon of its own on
// the X display, which outlives the installer. Only a bus the desktop already
// runs is used: the address it gave, or the user's bus in the runtime folder.
void LCPrepareProcess() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string userBus = runtime && *runtime ? std::string(runtime) + "/bus" : std::string();
  if (!userBus.empty() && access(userBus.c_str(), F_OK) == 0) {
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + userBus).c_str(), 1);
  } else {
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  }
}
