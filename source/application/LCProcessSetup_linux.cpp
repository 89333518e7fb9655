#include <cstdlib>

#include "KWApplicationLaunchUtil.h"
#include "KWSystemUtils.h"
#include "LCProcessSetup.h"

// Without a session bus address, the first library that asks for the session
// bus (GNUstep's own libraries do) has D-Bus start a bus daemon of its own on
// the X display, which outlives the installer. Only a bus the desktop already
// runs is used. Children get the environment as it was before this. GNUstep
// also starts its notification server when the application starts; adopted,
// it is ended when the installer ends (KWSystemUtils::EndToolkitDaemons).
void LCPrepareProcess() {
  KWApplicationLaunchUtil::KeepStartEnvironment();
  KWSystemUtils::AdoptOrphanedDescendants();
  const KWString userBus = KWSystemUtils::GetSessionBusAddress();
  setenv("DBUS_SESSION_BUS_ADDRESS", userBus.empty() ? "disabled:" : userBus.c_str(), 1);
}
