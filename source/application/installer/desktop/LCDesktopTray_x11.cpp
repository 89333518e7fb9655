// The freedesktop system tray over Xlib: the icon is a small window that the
// tray host (the owner of the _NET_SYSTEM_TRAY_S<screen> selection) embeds
// through XEmbed. It has a connection of its own, served from the main run
// loop through ServeEvents. The tooltip and the menu are drawn with Xft in the
// desktop's sans font, as the desktop's own tooltips and menus are.
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "KWLogger.h"
#include "LCDesktopTray.h"
#include "LCInstallerText.h"
#include "LCTrayIconArt.h"

namespace {

const long kSystemTrayRequestDock = 0;
const long kXEmbedMapped = 1;
const unsigned int kDefaultIconSize = 22;
// Partly transparent edges are blended over the panel as read back from the
// window; over this grey where it cannot be read (a plain X window has no alpha).
const unsigned char kBackground[3] = {200, 200, 200};
// The look of tooltips and menus: fontconfig's sans for the person's
// language (Xft draws from the one font it opens, so a Japanese text needs a
// font with Japanese in it), dark text on a light ground inside a thin grey
// border.
const char* const kFontName = "sans-10:lang=";
const char* const kGroundColour = "#f6f5f4";
const char* const kBorderColour = "#8b8e8f";
const char* const kTextColour = "#202020";
const char* const kHoverColour = "#3584e4";
const char* const kHoverTextColour = "#ffffff";
const int kTooltipPadding = 6;
const int kMenuItemPadding = 6;
const int kMenuSidePadding = 16;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

// X errors from our requests (the tray may vanish between two of them) are
// counted instead of ending the process. Xlib's handler is process-wide, and
// GNUstep has its own, so ours is only set around our requests.
int g_trappedErrors = 0;
int TrapError(Display*, XErrorEvent*) {
  ++g_trappedErrors;
  return 0;
}

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : m_display(display) {
    XSync(m_display, False);
    g_trappedErrors = 0;
    m_previous = XSetErrorHandler(TrapError);
  }
  ~ErrorTrap() {
    XSync(m_display, False);
    XSetErrorHandler(m_previous);
  }
  bool Failed() {
    XSync(m_display, False);
    return g_trappedErrors != 0;
  }

 private:
  Display* m_display;
  int (*m_previous)(Display*, XErrorEvent*) = nullptr;
};

unsigned int Shift(unsigned long mask) {
  unsigned int shift = 0;
  while (mask && !(mask & 1)) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

unsigned long Scale8(unsigned int value, unsigned long mask) {
  const unsigned long max = mask >> Shift(mask);
  return ((value * max + 127) / 255) << Shift(mask);
}

// The channel of a pixel that the mask selects, as 0..255.
unsigned int Unscale8(unsigned long pixel, unsigned long mask) {
  const unsigned long max = mask >> Shift(mask);
  return max ? static_cast<unsigned int>((((pixel & mask) >> Shift(mask)) * 255 + max / 2) / max) : 0;
}

class LCX11Tray : public ILCDesktopTray {
 public:
  LCX11Tray(Display* display, const std::vector<std::string>& menuItems, EventCallback onEvent, void* data)
      : m_display(display), m_menuItems(menuItems), m_onEvent(onEvent), m_data(data) {
    m_screen = DefaultScreen(m_display);
    m_root = RootWindow(m_display, m_screen);
    char name[64];
    std::snprintf(name, sizeof(name), "_NET_SYSTEM_TRAY_S%d", m_screen);
    m_selection = XInternAtom(m_display, name, False);
    m_opcode = XInternAtom(m_display, "_NET_SYSTEM_TRAY_OPCODE", False);
    m_xembedInfo = XInternAtom(m_display, "_XEMBED_INFO", False);
    m_manager = XInternAtom(m_display, "MANAGER", False);
    m_netWmName = XInternAtom(m_display, "_NET_WM_NAME", False);
    m_utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    // A new tray host announces itself on the root window.
    XSelectInput(m_display, m_root, StructureNotifyMask);
    XFlush(m_display);
  }

  ~LCX11Tray() override {
    Hide();
    if (m_font) XftFontClose(m_display, m_font);
    XCloseDisplay(m_display);
  }

  bool IsAvailable() override { return XGetSelectionOwner(m_display, m_selection) != None; }

  bool Show(const LCBGRAImage& icon) override {
    m_icon = icon;
    m_wanted = true;
    if (m_window) {
      Draw();
      return true;
    }
    return Dock();
  }

  void Hide() override {
    m_wanted = false;
    HideTooltip();
    HideMenu();
    if (!m_window) return;
    ErrorTrap trap(m_display);
    XDestroyWindow(m_display, m_window);
    m_window = 0;
  }

  void SetTooltip(const std::string& text) override {
    if (text == m_tooltip) return;
    m_tooltip = text;
    if (m_window) SetWindowName();
    if (m_tooltipWindow) {
      // Redrawn in place, never blank between the old text and the new.
      ErrorTrap trap(m_display);
      const std::pair<int, int> size = TooltipSize();
      XResizeWindow(m_display, m_tooltipWindow, static_cast<unsigned int>(size.first),
                    static_cast<unsigned int>(size.second));
      DrawTooltip();
    }
  }

  void ServeEvents() override {
    bool hostLost = false;
    while (XPending(m_display)) {
      XEvent event;
      XNextEvent(m_display, &event);
      hostLost = Handle(event) || hostLost;
    }
    // Reported last: the receiver may hide or show the icon again.
    if (hostLost && m_onEvent) m_onEvent(m_data, kDesktopTrayHostLost);
  }

 private:
  bool Dock() {
    const Window owner = XGetSelectionOwner(m_display, m_selection);
    if (owner == None) return false;
    ErrorTrap trap(m_display);
    XSetWindowAttributes attributes;
    attributes.background_pixmap = ParentRelative;
    attributes.event_mask = ExposureMask | ButtonPressMask | StructureNotifyMask | EnterWindowMask | LeaveWindowMask;
    m_window = XCreateWindow(m_display, m_root, 0, 0, m_width, m_height, 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWBackPixmap | CWEventMask, &attributes);
    const long info[2] = {0, kXEmbedMapped};
    XChangeProperty(m_display, m_window, m_xembedInfo, m_xembedInfo, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(info), 2);
    SetWindowName();
    XSizeHints* hints = XAllocSizeHints();
    hints->flags = PMinSize | PBaseSize;
    hints->min_width = hints->base_width = static_cast<int>(kDefaultIconSize);
    hints->min_height = hints->base_height = static_cast<int>(kDefaultIconSize);
    XSetWMNormalHints(m_display, m_window, hints);
    XFree(hints);
    // The host going away undocks the icon.
    XSelectInput(m_display, owner, StructureNotifyMask);
    m_owner = owner;

    XEvent request;
    std::memset(&request, 0, sizeof(request));
    request.xclient.type = ClientMessage;
    request.xclient.window = owner;
    request.xclient.message_type = m_opcode;
    request.xclient.format = 32;
    request.xclient.data.l[0] = CurrentTime;
    request.xclient.data.l[1] = kSystemTrayRequestDock;
    request.xclient.data.l[2] = static_cast<long>(m_window);
    XSendEvent(m_display, owner, False, NoEventMask, &request);
    if (trap.Failed()) {
      KWLOG("UI: the system tray went away while the icon was docked");
      XDestroyWindow(m_display, m_window);
      m_window = 0;
      return false;
    }
    return true;
  }

  // Trays that show a tooltip of their own take it from the window's name.
  void SetWindowName() {
    std::string name;
    for (const std::string& line : Lines(m_tooltip)) name += (name.empty() ? "" : ": ") + line;
    char* list[1] = {const_cast<char*>(name.c_str())};
    XTextProperty property;
    if (Xutf8TextListToTextProperty(m_display, list, 1, XUTF8StringStyle, &property) == Success) {
      XSetWMName(m_display, m_window, &property);
      XFree(property.value);
    }
    XChangeProperty(m_display, m_window, m_netWmName, m_utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(name.c_str()), static_cast<int>(name.size()));
  }

  // True when the tray host went away with the icon docked.
  bool Handle(const XEvent& event) {
    if (m_menuWindow && HandleMenu(event)) return false;
    switch (event.type) {
      case Expose:
        if (event.xexpose.window == m_window && event.xexpose.count == 0) Draw();
        break;
      case ConfigureNotify:
        if (event.xconfigure.window == m_window && (static_cast<unsigned int>(event.xconfigure.width) != m_width ||
                                                    static_cast<unsigned int>(event.xconfigure.height) != m_height)) {
          m_width = static_cast<unsigned int>(std::max(1, event.xconfigure.width));
          m_height = static_cast<unsigned int>(std::max(1, event.xconfigure.height));
          Draw();
        }
        break;
      case ButtonPress:
        if (event.xbutton.window == m_window) {
          HideTooltip();
          if (event.xbutton.button == Button3 && !m_menuItems.empty()) {
            ShowMenu(event.xbutton.x_root, event.xbutton.y_root);
          } else if (event.xbutton.button == Button1 && m_onEvent) {
            m_onEvent(m_data, kDesktopTrayClick);
          }
        }
        break;
      case EnterNotify:
        if (event.xcrossing.window == m_window) ShowTooltip(event.xcrossing.x_root, event.xcrossing.y_root);
        break;
      case LeaveNotify:
        if (event.xcrossing.window == m_window) HideTooltip();
        break;
      case DestroyNotify:
        if (event.xdestroywindow.window == m_owner) {
          // The host took our window down with it, or left it on the root.
          m_owner = 0;
          HideTooltip();
          HideMenu();
          if (m_window) {
            ErrorTrap trap(m_display);
            XDestroyWindow(m_display, m_window);
            m_window = 0;
            KWLOG("UI: the system tray went away");
            return m_wanted;
          }
        } else if (event.xdestroywindow.window == m_window) {
          m_window = 0;
        }
        break;
      case ClientMessage:
        // A tray host that starts after us: dock there.
        if (event.xclient.window == m_root && event.xclient.message_type == m_manager &&
            static_cast<Atom>(event.xclient.data.l[1]) == m_selection && m_wanted && !m_window) {
          Dock();
        }
        break;
      default:
        break;
    }
    return false;
  }

  // The icon scaled to the size the tray gave the window (a box filter from
  // the largest picture: anti-aliased at every size), its partly transparent
  // edges blended over the panel as it shows through the window. Where the
  // panel cannot be read, over a neutral grey inside a hard mask.
  void Draw() {
    if (!m_window || m_icon.IsEmpty()) return;
    ErrorTrap trap(m_display);
    const unsigned int side = std::min(m_width, m_height);
    const LCBGRAImage scaled = LCScaleImage(m_icon, side, side);
    const int left = static_cast<int>((m_width - side) / 2);
    const int top = static_cast<int>((m_height - side) / 2);
    XClearWindow(m_display, m_window);  // the tray's own background shows round the icon
    XImage* ground = XGetImage(m_display, m_window, left, top, side, side, AllPlanes, ZPixmap);
    Visual* visual = DefaultVisual(m_display, m_screen);
    const int depth = DefaultDepth(m_display, m_screen);
    XImage* image =
        XCreateImage(m_display, visual, static_cast<unsigned int>(depth), ZPixmap, 0, nullptr, side, side, 32, 0);
    if (!image) {
      if (ground) XDestroyImage(ground);
      return;
    }
    image->data = static_cast<char*>(std::calloc(static_cast<size_t>(image->bytes_per_line) * side, 1));
    Pixmap mask = ground ? None : XCreatePixmap(m_display, m_window, side, side, 1);
    XImage* maskImage = ground ? nullptr : XCreateImage(m_display, visual, 1, XYBitmap, 0, nullptr, side, side, 8, 0);
    if (maskImage) {
      maskImage->data = static_cast<char*>(std::calloc(static_cast<size_t>(maskImage->bytes_per_line) * side, 1));
    }
    const unsigned long masks[3] = {visual->red_mask, visual->green_mask, visual->blue_mask};
    for (unsigned int y = 0; y < side; ++y) {
      for (unsigned int x = 0; x < side; ++x) {
        const unsigned char* p = scaled.GetData() + (static_cast<size_t>(y) * side + x) * 4;
        const unsigned long under = ground ? XGetPixel(ground, static_cast<int>(x), static_cast<int>(y)) : 0;
        unsigned long pixel = 0;
        for (int c = 0; c < 3; ++c) {
          const unsigned int back = ground ? Unscale8(under, masks[c]) : kBackground[c];
          pixel |= Scale8(LCBGRAImage::BlendFast(p[3], p[c], back), masks[c]);
        }
        XPutPixel(image, static_cast<int>(x), static_cast<int>(y), pixel);
        if (maskImage) XPutPixel(maskImage, static_cast<int>(x), static_cast<int>(y), p[3] >= 64 ? 1 : 0);
      }
    }
    GC gc = XCreateGC(m_display, m_window, 0, nullptr);
    if (maskImage) {
      // A set bit of a bitmap is drawn in the foreground, a clear one in the background.
      XGCValues maskValues;
      maskValues.foreground = 1;
      maskValues.background = 0;
      GC maskGC = XCreateGC(m_display, mask, GCForeground | GCBackground, &maskValues);
      XPutImage(m_display, mask, maskGC, maskImage, 0, 0, 0, 0, side, side);
      XFreeGC(m_display, maskGC);
      XDestroyImage(maskImage);
      XSetClipMask(m_display, gc, mask);
      XSetClipOrigin(m_display, gc, left, top);
    }
    XPutImage(m_display, m_window, gc, image, 0, 0, left, top, side, side);
    XFreeGC(m_display, gc);
    if (mask != None) XFreePixmap(m_display, mask);
    if (ground) XDestroyImage(ground);
    XDestroyImage(image);
  }

  XftFont* Font() {
    if (!m_font && !m_fontFailed) {
      const std::string name = kFontName + LCInstallerText::GetLocale();
      m_font = XftFontOpenName(m_display, m_screen, name.c_str());
      m_fontFailed = !m_font;
      if (m_fontFailed) KWLOG("UI: no font \"%s\" for the tray's tooltip and menu", name.c_str());
    }
    return m_font;
  }

  int LineHeight() { return m_font->ascent + m_font->descent + 2; }

  int TextWidth(const std::string& text) {
    XGlyphInfo extents;
    XftTextExtentsUtf8(m_display, m_font, reinterpret_cast<const FcChar8*>(text.c_str()), static_cast<int>(text.size()),
                       &extents);
    return extents.xOff;
  }

  // Each colour is looked up on the server once: a menu redraws on every hover.
  unsigned long Pixel(const char* colour) {
    const auto known = m_pixels.find(colour);
    if (known != m_pixels.end()) return known->second;
    XColor exact, screen;
    const Colormap map = DefaultColormap(m_display, m_screen);
    const unsigned long pixel =
        XAllocNamedColor(m_display, map, colour, &screen, &exact) ? screen.pixel : BlackPixel(m_display, m_screen);
    m_pixels[colour] = pixel;
    return pixel;
  }

  // A bordered, override-redirect box for a tooltip or a menu.
  Window CreatePopup(int x, int y, int width, int height, long events) {
    const int screenWidth = DisplayWidth(m_display, m_screen);
    const int screenHeight = DisplayHeight(m_display, m_screen);
    const int left = std::max(0, std::min(x, screenWidth - width - 2));
    const int top = y + height + 2 <= screenHeight ? y : std::max(0, y - height - 2);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    attributes.background_pixel = Pixel(kGroundColour);
    attributes.border_pixel = Pixel(kBorderColour);
    attributes.event_mask = events;
    Window window = XCreateWindow(m_display, m_root, left, top, static_cast<unsigned int>(width),
                                  static_cast<unsigned int>(height), 1, CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &attributes);
    XMapRaised(m_display, window);
    return window;
  }

  // Text in the window or picture at (x, baseline).
  void DrawText(Drawable window, const std::string& text, int x, int baseline, const char* colour) {
    Visual* visual = DefaultVisual(m_display, m_screen);
    const Colormap map = DefaultColormap(m_display, m_screen);
    XftDraw* draw = XftDrawCreate(m_display, window, visual, map);
    if (!draw) return;
    XftColor xftColour;
    if (XftColorAllocName(m_display, visual, map, colour, &xftColour)) {
      XftDrawStringUtf8(draw, &xftColour, m_font, x, baseline, reinterpret_cast<const FcChar8*>(text.c_str()),
                        static_cast<int>(text.size()));
      XftColorFree(m_display, visual, map, &xftColour);
    }
    XftDrawDestroy(draw);
  }

  // The tooltip's box, under the pointer; drawn on its first Expose.
  void ShowTooltip(int x, int y) {
    if (m_tooltipWindow || m_tooltip.empty() || !Font()) return;
    ErrorTrap trap(m_display);
    const std::pair<int, int> size = TooltipSize();
    m_tooltipWindow = CreatePopup(x, y + 20, size.first, size.second, 0);
    DrawTooltip();
  }

  // The tooltip box's width and height for its text.
  std::pair<int, int> TooltipSize() {
    int width = 0;
    const std::vector<std::string> lines = Lines(m_tooltip);
    for (const std::string& line : lines) width = std::max(width, TextWidth(line));
    return std::make_pair(width + 2 * kTooltipPadding,
                          static_cast<int>(lines.size()) * LineHeight() + 2 * kTooltipPadding);
  }

  // The text is drawn into a picture that becomes the window's background in
  // one step: the server repaints it itself, and an update never shows the
  // box empty.
  void DrawTooltip() {
    const std::pair<int, int> size = TooltipSize();
    const unsigned int width = static_cast<unsigned int>(size.first);
    const unsigned int height = static_cast<unsigned int>(size.second);
    Pixmap picture = XCreatePixmap(m_display, m_tooltipWindow, width, height,
                                   static_cast<unsigned int>(DefaultDepth(m_display, m_screen)));
    GC gc = XCreateGC(m_display, picture, 0, nullptr);
    XSetForeground(m_display, gc, Pixel(kGroundColour));
    XFillRectangle(m_display, picture, gc, 0, 0, width, height);
    XFreeGC(m_display, gc);
    const std::vector<std::string> lines = Lines(m_tooltip);
    for (size_t i = 0; i < lines.size(); ++i) {
      DrawText(picture, lines[i], kTooltipPadding,
               kTooltipPadding + static_cast<int>(i) * LineHeight() + m_font->ascent, kTextColour);
    }
    XSetWindowBackgroundPixmap(m_display, m_tooltipWindow, picture);
    XClearArea(m_display, m_tooltipWindow, 0, 0, 0, 0, False);
    XFreePixmap(m_display, picture);
  }

  int MenuItemHeight() { return LineHeight() + 2 * kMenuItemPadding; }

  // The menu at the pointer, holding the pointer until an item is chosen or
  // a press lands outside it.
  void ShowMenu(int x, int y) {
    HideMenu();
    if (!Font()) return;
    ErrorTrap trap(m_display);
    int width = 0;
    for (const std::string& item : m_menuItems) width = std::max(width, TextWidth(item));
    m_menuWidth = width + 2 * kMenuSidePadding;
    m_menuWindow = CreatePopup(x, y, m_menuWidth, static_cast<int>(m_menuItems.size()) * MenuItemHeight(),
                               ExposureMask | ButtonPressMask | PointerMotionMask | KeyPressMask);
    m_menuHover = -1;
    XGrabPointer(m_display, m_menuWindow, True, ButtonPressMask | PointerMotionMask, GrabModeAsync, GrabModeAsync, None,
                 None, CurrentTime);
    // The keyboard too, so that Escape closes the menu as a desktop's own do.
    XGrabKeyboard(m_display, m_menuWindow, True, GrabModeAsync, GrabModeAsync, CurrentTime);
  }

  void HideMenu() {
    if (!m_menuWindow) return;
    ErrorTrap trap(m_display);
    XUngrabPointer(m_display, CurrentTime);
    XUngrabKeyboard(m_display, CurrentTime);
    XDestroyWindow(m_display, m_menuWindow);
    m_menuWindow = 0;
  }

  void DrawMenu() {
    GC gc = XCreateGC(m_display, m_menuWindow, 0, nullptr);
    for (size_t i = 0; i < m_menuItems.size(); ++i) {
      const int top = static_cast<int>(i) * MenuItemHeight();
      const bool hover = static_cast<int>(i) == m_menuHover;
      XSetForeground(m_display, gc, Pixel(hover ? kHoverColour : kGroundColour));
      XFillRectangle(m_display, m_menuWindow, gc, 0, top, static_cast<unsigned int>(m_menuWidth),
                     static_cast<unsigned int>(MenuItemHeight()));
      DrawText(m_menuWindow, m_menuItems[i], kMenuSidePadding, top + kMenuItemPadding + m_font->ascent,
               hover ? kHoverTextColour : kTextColour);
    }
    XFreeGC(m_display, gc);
  }

  // The menu item at a point of the menu window, -1 outside the items.
  int MenuItemAt(int x, int y) {
    if (x < 0 || x >= m_menuWidth || y < 0) return -1;
    const int item = y / MenuItemHeight();
    return item < static_cast<int>(m_menuItems.size()) ? item : -1;
  }

  // True when the event was the menu's.
  bool HandleMenu(const XEvent& event) {
    switch (event.type) {
      case Expose:
        if (event.xexpose.window != m_menuWindow) return false;
        if (event.xexpose.count == 0) DrawMenu();
        return true;
      case MotionNotify:
        if (event.xmotion.window != m_menuWindow) return false;
        if (MenuItemAt(event.xmotion.x, event.xmotion.y) != m_menuHover) {
          m_menuHover = MenuItemAt(event.xmotion.x, event.xmotion.y);
          DrawMenu();
        }
        return true;
      case KeyPress:
        if (XLookupKeysym(const_cast<XKeyEvent*>(&event.xkey), 0) == XK_Escape) HideMenu();
        return true;
      case ButtonPress: {
        // A press on another of our windows (the icon) closes the menu and
        // goes on as usual; any press elsewhere comes here, through the grab.
        if (event.xbutton.window != m_menuWindow) {
          HideMenu();
          return false;
        }
        const int item = MenuItemAt(event.xbutton.x, event.xbutton.y);
        HideMenu();
        if (item >= 0 && m_onEvent) m_onEvent(m_data, item);
        return true;
      }
      default:
        return false;
    }
  }

  void HideTooltip() {
    if (!m_tooltipWindow) return;
    ErrorTrap trap(m_display);
    XDestroyWindow(m_display, m_tooltipWindow);
    m_tooltipWindow = 0;
  }

  Display* m_display;
  int m_screen = 0;
  Window m_root = 0;
  Atom m_selection = 0;
  Atom m_opcode = 0;
  Atom m_xembedInfo = 0;
  Atom m_manager = 0;
  Atom m_netWmName = 0;
  Atom m_utf8 = 0;
  std::vector<std::string> m_menuItems;
  EventCallback m_onEvent;
  void* m_data;
  std::string m_tooltip;
  XftFont* m_font = nullptr;
  bool m_fontFailed = false;
  Window m_menuWindow = 0;
  int m_menuWidth = 0;
  int m_menuHover = -1;
  std::map<std::string, unsigned long> m_pixels;  // colour name to the server's pixel
  int m_tooltipX = 0;
  int m_tooltipY = 0;
  LCBGRAImage m_icon;
  Window m_window = 0;
  Window m_owner = 0;
  Window m_tooltipWindow = 0;
  unsigned int m_width = kDefaultIconSize;
  unsigned int m_height = kDefaultIconSize;
  bool m_wanted = false;  // shown, or to be shown when a tray host appears
};

}  // namespace

ILCDesktopTray* ILCDesktopTray::Create(const std::vector<std::string>& menuItems, EventCallback onEvent, void* data) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return nullptr;
  return new LCX11Tray(display, menuItems, onEvent, data);
}
