// What the AppKit layer's two sources (the window and the menu-bar helper)
// and its tests share. Objective-C++ only.
#pragma once

#import <AppKit/AppKit.h>

#include <functional>

#include "KWString.h"
#include "LCBGRAImage.h"
#include "LCInstallerDefines.h"

NSString* MLCToNSString(const KWString& text);
// An autoreleased image of a file of the bundle's Contents/Resources; nil
// when it cannot be read.
NSImage* MLCLoadResourceImage(const char* fileName);

// The representation's pixels in the core's layout (red, green, blue, alpha,
// 8 bits each, straight colour, rows packed), whatever layout the decoder
// chose: grey or RGB, with or without alpha, alpha first or last,
// premultiplied or not, 8 or 16 bits a sample, padded pixels and rows,
// meshed or planar. Empty for floating-point samples or other colour models.
LCBGRAImage MLCBitmapToBGRA(NSBitmapImageRep* rep);
// A new (retained) representation of 8-bit red, green, blue and alpha, rows
// packed, over data, which must outlive it; NULL gives it a buffer of its own.
NSBitmapImageRep* MLCNewRGBARep(unsigned char* data, unsigned int width, unsigned int height);
// An autoreleased image of the given size in points holding the pixels; nil
// when they are empty.
NSImage* MLCImageFromBGRA(const LCBGRAImage& pixels, NSSize size);

// NSApplicationActivationPolicy's values: a regular application with a Dock
// icon while the window is up; an accessory one (no Dock icon or menu, but it
// may be activated and show windows and boxes) while it lives in the menu bar.
enum MLCActivationPolicy { kMLCActivationRegular = 0, kMLCActivationAccessory = 1 };
// Where AppKit has no activation policy the call is skipped and that is logged once.
void MLCSetActivationPolicy(MLCActivationPolicy policy);
// Makes the application the active one, so that its window or box comes to
// the front: activate where the running AppKit has it (macOS 14 and later,
// where activateIgnoringOtherApps: no longer forces it), else the older call.
void MLCBringToFront();

// Called on the main thread just before each message box runs modally, so
// that a test can answer the box through the application's modal session.
typedef std::function<void(const KWString& message, LCInstallerMBType type)> MLCMessageBoxObserver;
void MLCSetMessageBoxObserverForTesting(MLCMessageBoxObserver observer);
// Boxes asked for on another thread that wait for the main thread.
int MLCPendingMessageBoxCountForTesting();
