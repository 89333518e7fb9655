// Pointer and keyboard input: every control is drawn into the frame, so
// presses, releases and moves in frame coordinates become hover and pressed
// looks, button actions and window drags here, and keys move the focus ring
// over the same controls. Main thread only.
#include "LCInstallerAnalytics.h"
#include "LCInstallerEndpoints.h"
#include "LCInstallerText.h"
#include "LCInstallerUICore.h"

namespace {

// Edges are inside.
bool HitTest(int x, int y, const LCRect& rect) {
  return rect.left <= x && x <= rect.right && rect.top <= y && y <= rect.bottom;
}

void Ping(const char* name) { LCInstallerAnalytics::PingTalkToOstrelServer(name, KWString()); }

// Focus order: the main action first, the window's own buttons last.
const LCInstallerButtonId kFocusOrder[] = {kLCInstallerButtonInstallNow, kLCInstallerButtonEULA,
                                           kLCInstallerButtonClose, kLCInstallerButtonApp};

}  // namespace

void LCInstallerUICore::OnLButtonDown(int x, int y) {
  bool hitSomething = false;
  for (LCUIObject* object : GetActiveObjectsSnapshot()) {
    if (HitTest(x, y, object->m_rect)) {
      object->m_isPressed = true;
      OnMouseDown(object->m_id);
      hitSomething = true;
    } else {
      object->m_isPressed = false;
    }
  }
  if (!hitSomething) {
    PlatformDoMouseCapture();
    m_isDragging = true;
    m_dragStartX = x;
    m_dragStartY = y;
  }
}

void LCInstallerUICore::OnLButtonUp(int x, int y) {
  std::vector<LCInstallerButtonId> clicked;
  for (LCUIObject* object : GetActiveObjectsSnapshot()) {
    if (HitTest(x, y, object->m_rect)) {
      OnMouseUp(object->m_id);
      if (object->m_isPressed) clicked.push_back(object->m_id);
    }
    object->m_isPressed = false;
  }
  if (m_isDragging) PlatformReleaseMouseCapture();
  m_isDragging = false;
  // A click may raise a box that stays up for a long time; the button behind
  // it is drawn released.
  for (LCInstallerButtonId id : clicked) OnMouseClick(id);
}

void LCInstallerUICore::OnMouseMove(int x, int y) {
  if (m_isDragging && PlatformGetMouseCapture() == m_window) {
    // The pointer position is relative to the window, which follows the
    // pointer, so the drag start stays where it was.
    PlatformMoveWindowBy(x - m_dragStartX, y - m_dragStartY);
    return;
  }
  for (LCUIObject* object : GetActiveObjectsSnapshot()) {
    const bool hit = HitTest(x, y, object->m_rect);
    if (hit && !object->m_isHover) {
      OnMouseOver(object->m_id);
      object->m_isHover = true;
    } else if (!hit && object->m_isHover) {
      OnMouseOut(object->m_id);
      object->m_isHover = false;
    }
  }
}

// The looks follow from the flags at the next frame.
void LCInstallerUICore::OnMouseOver(LCInstallerButtonId) {}
void LCInstallerUICore::OnMouseOut(LCInstallerButtonId) {}
void LCInstallerUICore::OnMouseDown(LCInstallerButtonId) {}
void LCInstallerUICore::OnMouseUp(LCInstallerButtonId) {}

void LCInstallerUICore::OnMouseClick(LCInstallerButtonId id) {
  switch (id) {
    case kLCInstallerButtonInstallNow:
      OnInstallNowButtonClick();
      break;
    case kLCInstallerButtonEULA:
      Ping("EULAClicked");
      PlatformOpenURL(KWString("http://") + kCLVWebHost + "/go/CLV11LicTerms");
      break;
    case kLCInstallerButtonClose:
      Ping("InstallCancelClick");
      if (OnAppClose()) PostAppQuitMessage();
      break;
    case kLCInstallerButtonApp:
      if (m_state == kLCInstallerStateWaitingForInstall) {
        Ping("AppCloseClick");
        if (OnAppClose()) PostAppQuitMessage();
      } else {
        Ping("AppMinimizeClick");
        MinimizeUI();
      }
      break;
    default:
      if (id >= kLCInstallerButtonSlide1 && id <= kLCInstallerButtonSlide7) {
        m_slideIndex = id - 3;
        m_slideStartTime.Store(ILCInstallerUIClock::GetInstance().SecondClockNow());
        m_slideChosenByUser = true;
      }
      break;
  }
}

// The focus ring goes with the click (it would cut through the connection
// check drawn over the button) and comes back with the next Tab.
void LCInstallerUICore::OnInstallNowButtonClick() {
  bool waiting = true;
  if (!m_waitingOnInstallButtonClick.compare_exchange_strong(waiting, false)) return;
  m_focusedId = -1;
  BreakEventProcessingLoop();
}

std::vector<LCUIControl> LCInstallerUICore::GetControls() const {
  const std::vector<LCUIObject*> active = GetActiveObjectsSnapshot();
  const bool enabled = !IsUIDisabled();
  std::vector<LCUIControl> controls;
  for (LCInstallerButtonId id : kFocusOrder) {
    for (const LCUIObject* object : active) {
      if (object->m_id != id) continue;
      LCUIControl control;
      control.m_id = id;
      control.m_role = object->m_role;
      // The window's light closes on the welcome screen and minimizes after it.
      const bool minimizes = id == kLCInstallerButtonApp && m_state != kLCInstallerStateWaitingForInstall;
      const char* label = minimizes ? "control.minimize" : object->m_label;
      if (*label) control.m_label = LCInstallerText::Get(label).GetUTF8String();
      control.m_rect = object->m_rect;
      control.m_enabled = enabled;
      control.m_focused = id == m_focusedId;
      controls.push_back(control);
    }
  }
  return controls;
}

// Read on every frame: the active objects alone, without the controls' names.
LCInstallerButtonId LCInstallerUICore::FocusedActiveId() const {
  if (m_focusedId < 0) return -1;
  for (const LCUIObject* object : GetActiveObjectsSnapshot()) {
    if (object->m_id == m_focusedId) return m_focusedId;
  }
  return -1;
}

// From no focus, forward starts at the first control and backward at the last.
void LCInstallerUICore::MoveFocus(int step) {
  const std::vector<LCUIControl> controls = GetControls();
  if (controls.empty()) return;
  const int count = static_cast<int>(controls.size());
  int index = -1;
  for (int i = 0; i < count; ++i) {
    if (controls[i].m_focused) index = i;
  }
  if (index < 0) {
    index = step > 0 ? 0 : count - 1;
  } else {
    index = (index + step + count) % count;
  }
  m_focusedId = controls[index].m_id;
}

bool LCInstallerUICore::OnKey(LCInstallerKey key) {
  if (IsUIDisabled()) return false;
  const LCInstallerButtonId focused = FocusedActiveId();
  switch (key) {
    case kLCInstallerKeyTab:
      MoveFocus(1);
      return true;
    case kLCInstallerKeyBackTab:
      MoveFocus(-1);
      return true;
    case kLCInstallerKeySpace:
      if (focused < 0) return false;
      OnMouseClick(focused);
      return true;
    case kLCInstallerKeyReturn:
      if (focused >= 0) {
        OnMouseClick(focused);
      } else if (m_state == kLCInstallerStateWaitingForInstall) {
        OnMouseClick(kLCInstallerButtonInstallNow);
      } else {
        return false;
      }
      return true;
    case kLCInstallerKeyEscape:
      // The close button: on the welcome screen the window's own close.
      OnMouseClick(m_state == kLCInstallerStateWaitingForInstall ? kLCInstallerButtonApp : kLCInstallerButtonClose);
      return true;
    case kLCInstallerKeyQuit:
      if (OnAppClose()) PostAppQuitMessage();
      return true;
  }
  return false;
}
