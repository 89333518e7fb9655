#include "MLCWindowSystem.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <fontconfig/fontconfig.h>

#include <GNUstepGUI/GSDisplayServer.h>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "KWLogger.h"
#include "KWSystemUtils.h"
#include "LCInstallerText.h"
#include "MLCInstallerUIAppKit.h"
#include "MLCInstallerWindowLayer.h"

namespace {

bool (*g_onDisplayLoss)() = nullptr;
std::atomic<bool> g_displayLost{false};

Display* ServerDisplay() { return static_cast<Display*>([GSCurrentServer() serverDevice]); }

Window XWindowOf(NSWindow* window) {
  if (!window || [window windowNumber] <= 0) return 0;
  // This back end hands out the X window's id itself.
  return static_cast<Window>(
      reinterpret_cast<uintptr_t>([GSCurrentServer() windowDevice:static_cast<int>([window windowNumber])]));
}

void AddProtocol(Display* display, Window window, Atom protocol) {
  Atom* protocols = nullptr;
  int count = 0;
  if (XGetWMProtocols(display, window, &protocols, &count)) {
    for (int i = 0; i < count; ++i) {
      if (protocols[i] == protocol) {
        XFree(protocols);
        return;
      }
    }
  }
  Atom* extended = new Atom[count + 1];
  for (int i = 0; i < count; ++i) extended[i] = protocols[i];
  extended[count] = protocol;
  XSetWMProtocols(display, window, extended, count + 1);
  delete[] extended;
  if (protocols) XFree(protocols);
}

// The application icon as _NET_WM_ICON wants it: for each size, its width,
// its height and its pixels as 0xAARRGGBB (straight alpha), one CARDINAL
// each, which Xlib takes as longs. Read once; empty when the icon is missing.
const std::vector<unsigned long>& IconCardinals() {
  static std::vector<unsigned long> cardinals;
  static bool read = false;
  if (read) return cardinals;
  read = true;
  NSImage* icon = MLCLoadApplicationIcon();
  NSArray* reps = icon ? [icon representations] : nil;
  for (NSUInteger i = 0; i < [reps count]; ++i) {
    NSImageRep* rep = [reps objectAtIndex:i];
    if (![rep isKindOfClass:[NSBitmapImageRep class]] || [rep pixelsWide] < 16 || [rep pixelsWide] > 128) continue;
    const LCBGRAImage pixels = MLCBitmapToBGRA(static_cast<NSBitmapImageRep*>(rep));
    const unsigned int size = pixels.GetWidth();
    if (pixels.IsEmpty() || pixels.GetHeight() != size) continue;
    cardinals.push_back(size);
    cardinals.push_back(size);
    const unsigned char* p = pixels.GetData();
    for (unsigned int n = 0; n < size * size; ++n, p += 4) {
      cardinals.push_back(static_cast<unsigned long>(p[3]) << 24 | static_cast<unsigned long>(p[0]) << 16 |
                          static_cast<unsigned long>(p[1]) << 8 | p[2]);
    }
  }
  if (cardinals.empty()) KWLOG("UI: the application icon has no picture from 16 to 128 pixels for the windows");
  return cardinals;
}

// Xlib ends the process when this handler returns, from inside whatever
// AppKit call found the connection gone; unwinding from here would leave
// AppKit and the service's locks in an unknown state. The quit work runs
// here, without the display, and the process ends without exit()'s
// handlers, which would wait for threads that nobody wakes.
int OnDisplayLost(Display*) {
  bool inTime = true;
  if (!g_displayLost.exchange(true)) {
    KWLOG("UI: the connection to the display is gone; quitting without it");
    if (g_onDisplayLoss) inTime = g_onDisplayLoss();
    KWSystemUtils::EndToolkitDaemons();
  }
  _exit(inTime ? 0 : 1);
  return 0;
}

}  // namespace

namespace {

// The PostScript name (what GNUstep's back end names a font by) of
// fontconfig's best sans face for the language in the given weight; empty
// when fontconfig has none.
std::string SansFontFor(const std::string& language, int weight) {
  std::string name;
  FcPattern* pattern = FcPatternCreate();
  if (!pattern) return name;
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("sans-serif"));
  FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>(language.c_str()));
  FcPatternAddInteger(pattern, FC_WEIGHT, weight);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcChar8* postScriptName = nullptr;
  FcLangSet* languages = nullptr;
  // A match is only a font that has the language's glyphs: fontconfig
  // otherwise returns its default face whatever the language.
  if (match && FcPatternGetLangSet(match, FC_LANG, 0, &languages) == FcResultMatch &&
      FcLangSetHasLang(languages, reinterpret_cast<const FcChar8*>(language.c_str())) != FcLangDifferentLang &&
      FcPatternGetString(match, FC_POSTSCRIPT_NAME, 0, &postScriptName) == FcResultMatch && postScriptName) {
    name = reinterpret_cast<const char*>(postScriptName);
  }
  if (match) FcPatternDestroy(match);
  FcPatternDestroy(pattern);
  return name;
}

// NOTE: GNUstep draws a control's text in the one font its defaults name
// (DejaVu Sans or Helvetica's stand-in) and turns every character that font
// cannot encode into "?": a Japanese box came out as "??????". The system
// fonts are therefore named for the person's language, as fontconfig
// chooses them (the tray's tooltip and menu use the same choice), in the
// registration domain: a font the user chose in their own defaults wins.
void RegisterFontsForLanguage(NSMutableDictionary* defaults) {
  const std::string language = LCInstallerText::GetLocale();
  if (language.empty() || !FcInit()) return;
  const std::string regular = SansFontFor(language, FC_WEIGHT_REGULAR);
  const std::string bold = SansFontFor(language, FC_WEIGHT_BOLD);
  if (regular.empty()) {
    KWLOG("UI: no font with the glyphs of \"%s\"; the boxes keep the toolkit's font", language.c_str());
    return;
  }
  NSString* regularName = [NSString stringWithUTF8String:regular.c_str()];
  NSString* boldName = bold.empty() ? regularName : [NSString stringWithUTF8String:bold.c_str()];
  NSString* const regularKeys[] = {@"NSFont",        @"NSUserFont",           @"NSLabelFont",
                                   @"NSMessageFont", @"NSPaletteFont",        @"NSToolTipsFont",
                                   @"NSMenuFont",    @"NSControlContentFont", @"NSMenuBarFont"};
  for (NSString* key : regularKeys) [defaults setObject:regularName forKey:key];
  [defaults setObject:boldName forKey:@"NSBoldFont"];
  [defaults setObject:boldName forKey:@"NSTitleBarFont"];
  KWLOG("UI: boxes in the font \"%s\" for \"%s\"", regular.c_str(), language.c_str());
}

}  // namespace

// GNUstep reads these when NSApp starts: no application icon tile, and
// system fonts with the glyphs of the person's language.
void MLCRegisterApplicationDefaults() {
  NSMutableDictionary* defaults = [NSMutableDictionary dictionaryWithObject:@"YES" forKey:@"GSSuppressAppIcon"];
  RegisterFontsForLanguage(defaults);
  [[NSUserDefaults standardUserDefaults] registerDefaults:defaults];
}

// GNUstep's back end asks for close requests only for a window with a close
// button, and its window manager otherwise ends the whole connection.
void MLCAcceptCloseRequests(NSWindow* window) {
  Display* display = ServerDisplay();
  const Window xWindow = XWindowOf(window);
  if (!display || !xWindow) return;
  AddProtocol(display, xWindow, XInternAtom(display, "WM_DELETE_WINDOW", False));
  XFlush(display);
}

// GNUstep's back end gives every window the icon it made once from the
// application's icon image, and only at one size (GNUstep's logo for a window
// made before the icon was set); it is replaced whenever the window is mapped.
void MLCSetWindowIcon(NSWindow* window) {
  Display* display = ServerDisplay();
  const Window xWindow = XWindowOf(window);
  const std::vector<unsigned long>& icon = IconCardinals();
  if (!display || !xWindow || icon.empty()) return;
  XChangeProperty(display, xWindow, XInternAtom(display, "_NET_WM_ICON", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(icon.data()), static_cast<int>(icon.size()));
  XFlush(display);
}

// GNUstep's alert panel is deferred: its X window is made here, before it
// is mapped, so that the window manager sees a dialog from the start. With a
// close button the back end also asks for its close request, which then
// reaches performClose: and the box's delegate.
void MLCMakeBoxOf(NSWindow* box, NSWindow* owner) {
  // This GNUstep has no setStyleMask:; key-value coding reaches the ivar.
  // Set before the back end makes the X window, which takes the style then.
  [box setValue:[NSNumber numberWithUnsignedInteger:[box styleMask] | NSClosableWindowMask] forKey:@"styleMask"];
  SEL makeBackendWindow = NSSelectorFromString(@"_initBackendWindow");
  if ([box windowNumber] <= 0 && [box respondsToSelector:makeBackendWindow]) {
    [box performSelector:makeBackendWindow];
  }
  Display* display = ServerDisplay();
  const Window xBox = XWindowOf(box);
  if (!display || !xBox) return;
  const Window xOwner = XWindowOf(owner);
  if (xOwner && [owner isVisible]) XSetTransientForHint(display, xBox, xOwner);
  Atom type = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
  XChangeProperty(display, xBox, XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&type), 1);
  Atom state = XInternAtom(display, "_NET_WM_STATE_MODAL", False);
  XChangeProperty(display, xBox, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeAppend,
                  reinterpret_cast<unsigned char*>(&state), 1);
  AddProtocol(display, xBox, XInternAtom(display, "WM_DELETE_WINDOW", False));
  MLCSetWindowIcon(box);
  // Motif hints: a title, a border and a close button, but nothing to
  // minimise or maximise a question with.
  const long kFunctionsAndDecorations = 1 | 2;
  const long kMoveAndClose = 4 | 32;
  const long kBorderTitleMenu = 2 | 8 | 16;
  long hints[5] = {kFunctionsAndDecorations, kMoveAndClose, kBorderTitleMenu, 0, 0};
  const Atom motif = XInternAtom(display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(display, xBox, motif, motif, 32, PropModeReplace, reinterpret_cast<unsigned char*>(hints), 5);
  XFlush(display);
}

// GNUstep shows the application menu as a floating window of its own; the
// Quit item's role goes to Ctrl-Q on the window and to the tray's menu.
bool MLCShowsApplicationMenu() { return false; }

void MLCWatchForDisplayLoss(bool (*onLoss)()) {
  g_onDisplayLoss = onLoss;
  XSetIOErrorHandler(OnDisplayLost);
}
