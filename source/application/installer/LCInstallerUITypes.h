// Plain values shared by the UI core, its platform layers and the menu-bar helper.
#pragma once

#include <string>
#include <vector>

#include "LCBGRAImage.h"
#include "LCEncodedImage.h"
#include "LCGlyphStrip.h"

struct LCInstallerUICoreInitParams {
  int m_argc = 0;
  char** m_argv = nullptr;  // not owned
};

// The platform's window object (an NSWindow in the AppKit layer); opaque to the core.
typedef void* LCInstallerWindowRef;

typedef int LCInstallerButtonId;
enum {
  kLCInstallerButtonInstallNow = 0,
  kLCInstallerButtonEULA = 1,
  kLCInstallerButtonClose = 2,
  kLCInstallerButtonApp = 3,
  kLCInstallerButtonSlide1 = 4,
  kLCInstallerButtonSlide2 = 5,
  kLCInstallerButtonSlide3 = 6,
  kLCInstallerButtonSlide4 = 7,
  kLCInstallerButtonSlide5 = 8,
  kLCInstallerButtonSlide6 = 9,
  kLCInstallerButtonSlide7 = 10,
};

// Every edge is inside the rectangle.
struct LCRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// What a control is to a person and to accessibility.
enum LCInstallerControlRole {
  kLCInstallerRoleButton = 0,
  kLCInstallerRoleLink = 1,
  kLCInstallerRoleSlideDot = 2,
};

struct LCUIObject {
  LCInstallerButtonId m_id = 0;
  LCRect m_rect;
  LCInstallerControlRole m_role = kLCInstallerRoleButton;
  const char* m_label = "";  // the key of its name among the texts (LCInstallerText)
  bool m_isHover = false;    // the pointer is over it
  bool m_isPressed = false;  // the button went down on it
};

// One control as the window shows it now: hit-testing, the focus ring and
// accessibility read the same list.
struct LCUIControl {
  LCInstallerButtonId m_id = 0;
  LCInstallerControlRole m_role = kLCInstallerRoleButton;
  std::string m_label;  // its name, as a screen reader says it, in the person's language
  LCRect m_rect;
  bool m_enabled = true;
  bool m_focused = false;
};

// The keys the window acts on, as the windowing layer reads them.
enum LCInstallerKey {
  kLCInstallerKeyReturn = 0,  // Return and keypad Enter
  kLCInstallerKeySpace = 1,
  kLCInstallerKeyTab = 2,
  kLCInstallerKeyBackTab = 3,  // Shift-Tab
  kLCInstallerKeyEscape = 4,
  kLCInstallerKeyQuit = 5,  // Cmd-Q on macOS, Ctrl-Q elsewhere
};

// Every decoded picture of the installer window. A file that could not be
// decoded leaves an empty image, which draws nothing.
// A layer drawn at an offset from the place it is blended at: the ink of a
// full-frame picture, cropped (in pixels of the picture's scale).
struct LCPlacedImage {
  LCBGRAImage m_image;
  unsigned int m_left = 0;
  unsigned int m_top = 0;
};

// The pictures the frame is drawn from. What is seen seldom, and is cheap to
// decode, is held encoded and decoded while it is shown (the slides, the
// mask); the rest is held decoded.
struct LCUIAssets {
  std::vector<LCEncodedImage> m_slides;     // 0: the welcome screen, 1..7: the slideshow
  std::vector<LCPlacedImage> m_slideTexts;  // the locale's words laid over each slide
  LCBGRAImage m_progressBar;
  LCBGRAImage m_progressBarBackground;
  std::vector<LCBGRAImage> m_progressAnimation;
  std::vector<LCBGRAImage> m_stateTexts;
  std::vector<LCBGRAImage> m_closeImages;  // normal, under the pointer, pressed
  std::vector<LCBGRAImage> m_appCloseImages;
  std::vector<LCBGRAImage> m_appMinimizeImages;
  LCBGRAImage m_installNowHover;
  LCBGRAImage m_installNowClick;
  LCPlacedImage m_eulaHover;  // its ink is the licence link's place: its click area and focus ring
  LCBGRAImage m_dotHover;
  LCEncodedImage m_disabledMask;
  LCBGRAImage m_disabledVeil;     // the mask's one colour (1 x 1) when it has one: the mask is then never decoded
  LCGlyphStrip m_figureGlyphs;    // the download's figures are set from it
  LCBGRAImage m_connectionCheck;  // over the install-now button while the network is checked
};
