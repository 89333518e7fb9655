#include "MLCWindowSystem.h"

// Cmd-Q comes from the application menu, and an alert is modal to the
// application and stays above its windows by itself.
void MLCRegisterApplicationDefaults() {}

void MLCAcceptCloseRequests(NSWindow* window) { (void)window; }

// The Dock and the title bar take the bundle's icon.
void MLCSetWindowIcon(NSWindow* window) { (void)window; }

void MLCMakeBoxOf(NSWindow* box, NSWindow* owner) {
  (void)owner;
  [box setLevel:NSModalPanelWindowLevel];
}

// The window server outlives the session's applications: a logout quits them
// through the application's own terminate path.
void MLCWatchForDisplayLoss(bool (*onLoss)()) { (void)onLoss; }

bool MLCShowsApplicationMenu() { return true; }
