// No desktop tray on this system: the menu-bar icon is the status item.
#include "LCDesktopTray.h"

ILCDesktopTray* ILCDesktopTray::Create(const std::vector<std::string>&, EventCallback, void*) { return nullptr; }
