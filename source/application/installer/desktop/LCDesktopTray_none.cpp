// No desktop tray on this system: the menu-bar icon is the status item.
#include "LCDesktopTray.h"

ILCDesktopTray* ILCDesktopTray::Create(const char*, ClickCallback, void*) { return nullptr; }
