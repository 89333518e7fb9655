#include <malloc.h>

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
//
// Frames, slides and the toolkit's copies of them are blocks of megabytes
// that come and go with every slide and every frame. glibc raises its mmap
// threshold to the size of the largest block freed, so after the first frame
// they would all come from the heap, whose holes are not given back: a fixed
// threshold keeps each one mapped on its own and returned when it is freed,
// as the Mac's allocator does with its large blocks.
void LCPrepareProcess() {
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  KWApplicationLaunchUtil::KeepStartEnvironment();
  KWSystemUtils::AdoptOrphanedDescendants();
  const KWString userBus = KWSystemUtils::GetSessionBusAddress();
  setenv("DBUS_SESSION_BUS_ADDRESS", userBus.empty() ? "disabled:" : userBus.c_str(), 1);
}
