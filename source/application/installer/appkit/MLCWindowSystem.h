// What the installer needs from the window system beyond AppKit: close
// requests on a borderless window, boxes owned by the installer window, the
// loss of the display, and the application's own defaults. Each AppKit has
// its own file; on macOS most of these are AppKit's own behaviour already.
// Main thread, Objective-C++ only.
#pragma once

#import <AppKit/AppKit.h>

// Registers the application's defaults before NSApp exists (no menu or icon
// windows of the AppKit's own where the desktop has neither).
void MLCRegisterApplicationDefaults();

// Whether the application menu (with its Quit item) is built.
bool MLCShowsApplicationMenu();

// Makes the window manager send the window its close request (which AppKit
// hands to performClose:) instead of ending the connection.
void MLCAcceptCloseRequests(NSWindow* window);

// The window manager shows the application's icon for the window (title bar,
// taskbar, window list) at the sizes the icon has from 16 to 128 pixels.
void MLCSetWindowIcon(NSWindow* window);

// The box belongs to the owner window: kept above it, modal to it, a dialog
// to the window manager, and answerable by its close request.
void MLCMakeBoxOf(NSWindow* box, NSWindow* owner);

// Calls onLoss once, on the thread that found the display gone, and ends the
// process when it returns: status 0 when onLoss says everything ended in
// time, 1 otherwise. onLoss must not touch the display.
void MLCWatchForDisplayLoss(bool (*onLoss)());
