// The freedesktop system tray over Xlib: the icon is a small window that the
// tray host (the owner of the _NET_SYSTEM_TRAY_S<screen> selection) embeds
// through XEmbed. It has a connection of its own, served from the main run
// loop through ServeEvents.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "KWLogger.h"
#include "LCDesktopTray.h"
#include "LCTrayIconArt.h"

namespace {

const long kSystemTrayRequestDock = 0;
const long kXEmbedMapped = 1;
const unsigned int kDefaultIconSize = 22;
// Partly transparent edges are blended over this grey: a plain X window has
// no alpha, and the tray's own background cannot be read.
const unsigned char kBackground[3] = {200, 200, 200};

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

class LCX11Tray : public ILCDesktopTray {
 public:
  LCX11Tray(Display* display, const char* tooltip, ClickCallback onClick, void* data)
      : m_display(display), m_tooltip(tooltip ? tooltip : ""), m_onClick(onClick), m_data(data) {
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
    if (!m_window) return;
    ErrorTrap trap(m_display);
    XDestroyWindow(m_display, m_window);
    m_window = 0;
  }

  void ServeEvents() override {
    while (XPending(m_display)) {
      XEvent event;
      XNextEvent(m_display, &event);
      Handle(event);
    }
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
    // Trays that show a tooltip of their own take it from the window's name.
    XStoreName(m_display, m_window, m_tooltip.c_str());
    XChangeProperty(m_display, m_window, m_netWmName, m_utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(m_tooltip.c_str()), static_cast<int>(m_tooltip.size()));
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

  void Handle(const XEvent& event) {
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
          if (m_onClick) m_onClick(m_data);
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
          if (m_window) {
            ErrorTrap trap(m_display);
            XDestroyWindow(m_display, m_window);
            m_window = 0;
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
  }

  void Draw() {
    if (!m_window || m_icon.IsEmpty()) return;
    ErrorTrap trap(m_display);
    const unsigned int side = std::min(m_width, m_height);
    const LCBGRAImage scaled = LCScaleImage(m_icon, side, side);
    Visual* visual = DefaultVisual(m_display, m_screen);
    const int depth = DefaultDepth(m_display, m_screen);
    XImage* image =
        XCreateImage(m_display, visual, static_cast<unsigned int>(depth), ZPixmap, 0, nullptr, side, side, 32, 0);
    if (!image) return;
    image->data = static_cast<char*>(std::calloc(static_cast<size_t>(image->bytes_per_line) * side, 1));
    Pixmap mask = XCreatePixmap(m_display, m_window, side, side, 1);
    XImage* maskImage = XCreateImage(m_display, visual, 1, XYBitmap, 0, nullptr, side, side, 8, 0);
    maskImage->data = static_cast<char*>(std::calloc(static_cast<size_t>(maskImage->bytes_per_line) * side, 1));
    for (unsigned int y = 0; y < side; ++y) {
      for (unsigned int x = 0; x < side; ++x) {
        const unsigned char* p = scaled.GetData() + (static_cast<size_t>(y) * side + x) * 4;
        unsigned int rgb[3];
        for (int c = 0; c < 3; ++c) rgb[c] = LCBGRAImage::BlendFast(p[3], p[c], kBackground[c]);
        XPutPixel(
            image, static_cast<int>(x), static_cast<int>(y),
            Scale8(rgb[0], visual->red_mask) | Scale8(rgb[1], visual->green_mask) | Scale8(rgb[2], visual->blue_mask));
        XPutPixel(maskImage, static_cast<int>(x), static_cast<int>(y), p[3] >= 64 ? 1 : 0);
      }
    }
    // A set bit of a bitmap is drawn in the foreground, a clear one in the background.
    XGCValues maskValues;
    maskValues.foreground = 1;
    maskValues.background = 0;
    GC maskGC = XCreateGC(m_display, mask, GCForeground | GCBackground, &maskValues);
    XPutImage(m_display, mask, maskGC, maskImage, 0, 0, 0, 0, side, side);
    XFreeGC(m_display, maskGC);
    XDestroyImage(maskImage);

    const int left = static_cast<int>((m_width - side) / 2);
    const int top = static_cast<int>((m_height - side) / 2);
    XClearWindow(m_display, m_window);  // the tray's own background shows round the icon
    GC gc = XCreateGC(m_display, m_window, 0, nullptr);
    XSetClipMask(m_display, gc, mask);
    XSetClipOrigin(m_display, gc, left, top);
    XPutImage(m_display, m_window, gc, image, 0, 0, left, top, side, side);
    XFreeGC(m_display, gc);
    XFreePixmap(m_display, mask);
    XDestroyImage(image);
  }

  // A plain box with the text under the pointer, as a tooltip looks.
  void ShowTooltip(int x, int y) {
    if (m_tooltipWindow || m_tooltip.empty()) return;
    ErrorTrap trap(m_display);
    XFontStruct* font = XLoadQueryFont(m_display, "fixed");
    if (!font) return;
    const int textWidth = XTextWidth(font, m_tooltip.c_str(), static_cast<int>(m_tooltip.size()));
    const int width = textWidth + 8;
    const int height = font->ascent + font->descent + 6;
    const int screenWidth = DisplayWidth(m_display, m_screen);
    const int screenHeight = DisplayHeight(m_display, m_screen);
    const int left = std::max(0, std::min(x, screenWidth - width));
    const int top = y + 20 + height <= screenHeight ? y + 20 : std::max(0, y - 20 - height);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(m_display, m_screen);
    attributes.border_pixel = BlackPixel(m_display, m_screen);
    m_tooltipWindow = XCreateWindow(m_display, m_root, left, top, static_cast<unsigned int>(width),
                                    static_cast<unsigned int>(height), 1, CopyFromParent, InputOutput, CopyFromParent,
                                    CWOverrideRedirect | CWBackPixel | CWBorderPixel, &attributes);
    XMapRaised(m_display, m_tooltipWindow);
    GC gc = XCreateGC(m_display, m_tooltipWindow, 0, nullptr);
    XSetFont(m_display, gc, font->fid);
    XSetForeground(m_display, gc, BlackPixel(m_display, m_screen));
    XDrawString(m_display, m_tooltipWindow, gc, 4, 3 + font->ascent, m_tooltip.c_str(),
                static_cast<int>(m_tooltip.size()));
    XFreeGC(m_display, gc);
    XFreeFont(m_display, font);
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
  std::string m_tooltip;
  ClickCallback m_onClick;
  void* m_data;
  LCBGRAImage m_icon;
  Window m_window = 0;
  Window m_owner = 0;
  Window m_tooltipWindow = 0;
  unsigned int m_width = kDefaultIconSize;
  unsigned int m_height = kDefaultIconSize;
  bool m_wanted = false;  // shown, or to be shown when a tray host appears
};

}  // namespace

ILCDesktopTray* ILCDesktopTray::Create(const char* tooltip, ClickCallback onClick, void* data) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return nullptr;
  return new LCX11Tray(display, tooltip, onClick, data);
}
