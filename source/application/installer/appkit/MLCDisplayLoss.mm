// The display gone while the installer runs.
#include "LCInstallerUICore.h"
#include "MLCInstallerWindowLayer.h"

// Called by the window-system layer on the thread that found the display
// gone (the main thread, inside an AppKit call): boxes the service waits for
// are answered, the service is stopped without the display, and the process
// then ends. 2.5 s for the service leaves analytics its 2 s within 5 s.
// False when the service did not end in time.
bool MLCQuitWithoutTheDisplay() {
  // The boxes' lock is only ever held for a moment, never across a call
  // into the window system: 200 ms is ample.
  const bool boxesAnswered = MLCAbandonPendingMessageBoxes(200);
  const bool serviceEnded = g_pUICore == nullptr || g_pUICore->QuitWithoutDisplay(2500);
  return boxesAnswered && serviceEnded;
}
