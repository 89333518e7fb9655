// Frame composition: the 868 x 592 frame (1736 x 1184 on a 2x screen) is
// rebuilt from the slide in view with its words, the button looks, the
// progress bar and the state text on a tick of the UI timer where any of them
// changed; an unchanged frame costs next to nothing.
#include <algorithm>
#include <cmath>

#include "LCInstallerUICore.h"

namespace {

const int kAutomaticSlideMs = 10000;
const int kChosenSlideMs = 20000;
const unsigned int kProgressX = 285;
const unsigned int kProgressY = 58;
const unsigned int kStateTextX = 326;
const unsigned int kStateTextY = 68;
// On the row above the bar: the percentage at the bar's left end, the rest of
// the figures ending at its right end.
const unsigned int kFiguresLeft = 285;
const unsigned int kFiguresRight = 585;
const unsigned int kFiguresTop = 44;
// The connection check covers the install-now button; the busy animation runs
// in its track.
const unsigned int kConnectionCheckX = 284;
const unsigned int kConnectionCheckY = 386;
const unsigned int kConnectionTrackY = kConnectionCheckY + 30;

// The left part of the image, fraction of its width rounded to the nearest
// pixel. Fractions outside 0..1 are held to the image's bounds.
LCBGRAImage GetSubImage(const LCBGRAImage& image, float fraction) {
  LCBGRAImage result;
  if (image.IsEmpty()) return result;
  const float scaled = fraction * static_cast<float>(image.GetWidth()) + 0.5f;
  const unsigned int width = scaled <= 0.0f ? 0u : std::min(static_cast<unsigned int>(scaled), image.GetWidth());
  result.Allocate(width, image.GetHeight());
  if (result.IsEmpty()) return result;
  for (unsigned int row = 0; row < image.GetHeight(); ++row) {
    std::copy_n(image.GetData() + static_cast<size_t>(row) * image.GetWidth() * 4, static_cast<size_t>(width) * 4,
                result.GetData() + static_cast<size_t>(row) * width * 4);
  }
  return result;
}

// The pictures of m_stateTexts, in the order the core loads them.
size_t GetTextImageForState(LCInstallerStateEnum state, int networkWait) {
  switch (state) {
    case kLCInstallerStateDownloading:
      if (networkWait == LCInstallerUICore::kNetworkWaiting) return 5;
      if (networkWait == LCInstallerUICore::kNetworkDown) return 6;
      return 1;
    case kLCInstallerStateDownloadDone:
      return 1;
    case kLCInstallerStateExtracting:
    case kLCInstallerStateExtractDone:
      return 2;
    case kLCInstallerStateSettingUp:
    case kLCInstallerStateSetupDone:
      return 3;
    case kLCInstallerStateLaunching:
    case kLCInstallerStateLaunchDone:
      return 4;
    default:
      return 0;
  }
}

// Blends images[index] when the sequence has it.
void BlendAt(LCBGRAImage& frame, const std::vector<LCBGRAImage>& images, size_t index, unsigned int x, unsigned int y) {
  if (index < images.size()) frame.Copy(images[index], x, y);
}

}  // namespace

int LCInstallerUICore::LookIndex(const LCUIObject& object) const {
  if (object.m_isPressed) return 2;
  return object.m_isHover ? 1 : 0;
}

bool LCInstallerUICore::RenderUI() {
  const LCInstallerStateEnum state = m_state;
  if (state == kLCInstallerStateNone || m_assets.m_slides.empty()) return false;
  const bool disabled = IsUIDisabled();

  // Slideshow step. The show runs once through slides 1..7 and stays on the
  // last; it pauses while a message box is up or the window is in the menu bar.
  ILCInstallerUIClock& clock = ILCInstallerUIClock::GetInstance();
  const boost::posix_time::ptime now = clock.SecondClockNow();
  const int64_t slideMs = LCMillisecondsBetween(m_slideStartTime.Load(), now);
  const int64_t animMs =
      std::max<int64_t>(0, LCMillisecondsBetween(m_animationStartTime.Load(), clock.MicrosecondClockNow()));
  const bool slideDue = state != kLCInstallerStateWaitingForInstall &&
                        slideMs >= (m_slideChosenByUser ? kChosenSlideMs : kAutomaticSlideMs);
  int dot = std::max(m_slideIndex - 1, 0);
  const int last = static_cast<int>(m_assets.m_slides.size()) - 1;
  if (slideDue && !disabled && !m_trayHelper.IsInTray()) {
    if (dot < last - 1) ++dot;
    m_slideIndex = dot + 1;
    m_slideStartTime.Store(now);
    m_slideChosenByUser = false;
  }

  const int slideIndex = m_slideIndex;
  dot = std::max(slideIndex - 1, 0);
  const int progress = m_progress;
  const size_t frames = m_assets.m_progressAnimation.size();
  // After the install click and before the installation begins, the
  // network is being checked.
  const bool connecting = state == kLCInstallerStateWaitingForInstall && !m_waitingOnInstallButtonClick;
  const bool animating = (connecting || (state > kLCInstallerStateWaitingForInstall &&
                                         !(state == kLCInstallerStateDownloading && progress != 0))) &&
                         frames > 0;
  FrameInputs inputs;
  inputs.state = state;
  inputs.slide = slideIndex;
  inputs.progress = state == kLCInstallerStateDownloading ? progress : -1;
  inputs.connecting = connecting;
  if (state == kLCInstallerStateDownloading) {
    inputs.figures = GetProgressText();
    inputs.networkWait = GetNetworkWait();
  }
  if (animating) {
    const double phase = static_cast<double>(animMs % 1000) / 1000.0;
    inputs.animation = static_cast<int>(phase * static_cast<double>(frames - 1) + 0.5);
  }
  unsigned bit = 0;
  for (const LCUIObject* object : {&m_installNowButton, &m_eulaButton, &m_closeButton, &m_appButton}) {
    inputs.looks |= (object->m_isHover ? 1u : 0u) << bit++;
    inputs.looks |= (object->m_isPressed ? 1u : 0u) << bit++;
  }
  inputs.focus = FocusedActiveId();
  inputs.disabled = disabled;
  // The next slide is decoded ahead only while the show runs: not behind a
  // box, nor while the window is in the menu bar.
  KeepSlidesAround(slideIndex, state != kLCInstallerStateWaitingForInstall && !disabled && !m_trayHelper.IsInTray());
  if (!disabled) m_assets.m_disabledMask.Release();
  if (m_lastFrameValid && inputs == m_lastFrame) return false;
  m_lastFrame = inputs;
  m_lastFrameValid = true;

  if (slideIndex < 0 || slideIndex > last) {
    m_renderedUI = LCBGRAImage();
    return true;
  }
  const LCBGRAImage& slide = m_assets.m_slides[slideIndex].Pixels();
  m_renderedUI.Copy(slide.GetData(), slide.GetWidth(), slide.GetHeight());
  // Positions are in points; the pictures are drawn for the scale.
  const unsigned int scale = static_cast<unsigned int>(m_renderScale);
  auto blend = [&](const LCBGRAImage& image, unsigned int x, unsigned int y) {
    m_renderedUI.Copy(image, x * scale, y * scale);
  };
  auto blendLook = [&](const std::vector<LCBGRAImage>& images, size_t index, unsigned int x, unsigned int y) {
    BlendAt(m_renderedUI, images, index, x * scale, y * scale);
  };
  if (static_cast<size_t>(slideIndex) < m_assets.m_slideTexts.size()) {
    const LCPlacedImage& words = m_assets.m_slideTexts[slideIndex];
    m_renderedUI.Copy(words.m_image, words.m_left, words.m_top);
  }

  if (state == kLCInstallerStateWaitingForInstall) {
    if (connecting) {
      DrawConnectionCheck(inputs.animation);
    } else if (m_installNowButton.m_isHover) {
      blend(m_assets.m_installNowHover, 365, 393);
      if (m_installNowButton.m_isPressed) blend(m_assets.m_installNowClick, 365, 393);
    }
    if (m_eulaButton.m_isHover) {
      const LCPlacedImage& link = m_assets.m_eulaHover;
      m_renderedUI.Copy(link.m_image, link.m_left, link.m_top);
    }
    blendLook(m_assets.m_appCloseImages, LookIndex(m_appButton), 11, 5);
  } else {
    if (dot < static_cast<int>(m_slideDots.size())) {
      const LCRect& rect = m_slideDots[dot].m_rect;
      blend(m_assets.m_dotHover, rect.left, rect.top);
    }
    blend(m_assets.m_progressBarBackground, kProgressX, kProgressY);
    blendLook(m_assets.m_appMinimizeImages, LookIndex(m_appButton), 11, 5);
    blendLook(m_assets.m_closeImages, LookIndex(m_closeButton), 596, 57);
  }

  if (state == kLCInstallerStateDownloading) {
    blend(GetSubImage(m_assets.m_progressBar, static_cast<float>(progress / 100.0)), kProgressX, kProgressY);
    DrawDownloadFigures(inputs.figures);
  }

  if (state > kLCInstallerStateWaitingForInstall) {
    blendLook(m_assets.m_stateTexts, GetTextImageForState(state, inputs.networkWait), kStateTextX, kStateTextY);
    if (animating) blendLook(m_assets.m_progressAnimation, inputs.animation, kProgressX, kProgressY);
  }

  if (inputs.focus >= 0) DrawFocusRing(inputs.focus);
  if (disabled && !m_assets.m_disabledVeil.IsEmpty()) {
    m_renderedUI.Cover(m_assets.m_disabledVeil);
  } else if (disabled) {
    blend(m_assets.m_disabledMask.Pixels(), 0, 0);
  }
  return true;
}

void LCInstallerUICore::KeepSlidesAround(int shown, bool showRuns) {
  std::vector<LCEncodedImage>& slides = m_assets.m_slides;
  const int next = showRuns ? shown + 1 : -1;
  for (int i = 0; i < static_cast<int>(slides.size()); ++i) {
    if (i != shown && i != next) slides[i].Release();
  }
  // One decoding per tick: the next slide once the shown one is there.
  if (next >= 0 && next < static_cast<int>(slides.size()) && shown >= 0 && slides[shown].IsDecoded()) {
    slides[next].Pixels();
  }
}

namespace {

// Signed distance from (x, y) to a rectangle with rounded corners: negative inside.
double RoundedRectDistance(double x, double y, double left, double top, double right, double bottom, double radius) {
  const double halfWidth = (right - left) / 2;
  const double halfHeight = (bottom - top) / 2;
  const double qx = std::fabs(x - (left + right) / 2) - (halfWidth - radius);
  const double qy = std::fabs(y - (top + bottom) / 2) - (halfHeight - radius);
  const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
  return outside + std::min(std::max(qx, qy), 0.0) - radius;
}

// The rounding of a control's corners in points, as its picture draws it:
// Install now's corners, round controls (the window buttons, the slide
// dots) as circles, the licence link square.
double CornerRadius(const LCUIObject& object) {
  const LCRect& rect = object.m_rect;
  const int width = rect.right - rect.left + 1;
  const int height = rect.bottom - rect.top + 1;
  if (object.m_role == kLCInstallerRoleLink) return 0;
  if (width == height) return width / 2.0;
  return 8;
}

}  // namespace

// A two-point ring two points outside the control, following its shape: the
// offset of its outline, so that the gap is the same on every side and around
// the corners. Its edges are anti-aliased (16 samples a pixel), in the
// product's accent colour so that it reads on the light and the dark slides.
void LCInstallerUICore::DrawFocusRing(LCInstallerButtonId id) {
  if (m_renderedUI.IsEmpty()) return;
  const LCUIObject& object = GetObject(id);
  const LCRect& rect = object.m_rect;
  const int width = static_cast<int>(m_renderedUI.GetWidth());
  const int height = static_cast<int>(m_renderedUI.GetHeight());
  // The control's rectangle is in points (right and bottom inclusive); the
  // ring is drawn in the frame's pixels.
  const double scale = m_renderScale;
  const double kGap = 2 * scale;
  const double kThickness = 2 * scale;
  const double left = rect.left * scale - kGap;
  const double top = rect.top * scale - kGap;
  const double right = (rect.right + 1) * scale + kGap;
  const double bottom = (rect.bottom + 1) * scale + kGap;
  const double inner = CornerRadius(object) * scale + kGap;
  const double outer = inner + kThickness;
  static const unsigned char kColour[3] = {240, 106, 60};  // the progress colour, in the frame's byte order
  unsigned char* pixels = m_renderedUI.GetData();
  const int firstX = std::max(static_cast<int>(std::floor(left - kThickness)), 0);
  const int lastX = std::min(static_cast<int>(std::ceil(right + kThickness)), width - 1);
  const int firstY = std::max(static_cast<int>(std::floor(top - kThickness)), 0);
  const int lastY = std::min(static_cast<int>(std::ceil(bottom + kThickness)), height - 1);
  for (int y = firstY; y <= lastY; ++y) {
    for (int x = firstX; x <= lastX; ++x) {
      int covered = 0;
      for (int sy = 0; sy < 4; ++sy) {
        for (int sx = 0; sx < 4; ++sx) {
          const double px = x + (sx + 0.5) / 4;
          const double py = y + (sy + 0.5) / 4;
          const bool inOuter = RoundedRectDistance(px, py, left - kThickness, top - kThickness, right + kThickness,
                                                   bottom + kThickness, outer) <= 0;
          if (inOuter && RoundedRectDistance(px, py, left, top, right, bottom, inner) > 0) ++covered;
        }
      }
      if (covered == 0) continue;
      const unsigned char alpha = static_cast<unsigned char>((covered * 255 + 8) / 16);
      unsigned char* pixel = pixels + (static_cast<size_t>(y) * width + x) * 4;
      for (int c = 0; c < 3; ++c) pixel[c] = LCBGRAImage::BlendFast(alpha, kColour[c], pixel[c]);
    }
  }
}

LCRect LCInstallerUICore::GetProgressBarRect() const {
  const LCBGRAImage& bar = m_assets.m_progressBarBackground;
  LCRect rect;
  rect.left = static_cast<int>(kProgressX);
  rect.top = static_cast<int>(kProgressY);
  rect.right = rect.left + static_cast<int>(bar.GetWidth()) / m_renderScale;
  rect.bottom = rect.top + static_cast<int>(bar.GetHeight()) / m_renderScale;
  return rect;
}

int LCInstallerUICore::GetMillisecondsToNextChange() const {
  // The welcome screen has no slideshow and no animation; anything after the
  // install click may be changed at any moment by the service's events.
  const bool still = m_state == kLCInstallerStateWaitingForInstall && m_waitingOnInstallButtonClick &&
                     !IsUIDisabled() && !m_isDragging;
  return still ? -1 : 0;
}

void LCInstallerUICore::DrawDownloadFigures(const std::string& text) {
  const unsigned int scale = static_cast<unsigned int>(m_renderScale);
  const LCGlyphStrip& glyphs = m_assets.m_figureGlyphs;
  const std::string separator = LCDownloadEstimate::kSeparator;
  const size_t split = text.find(separator);
  const std::string percent = text.substr(0, split);
  glyphs.Draw(m_renderedUI, percent, kFiguresLeft * scale, kFiguresTop * scale);
  if (split != std::string::npos) {
    glyphs.DrawRightAligned(m_renderedUI, text.substr(split + separator.size()), kFiguresRight * scale,
                            kFiguresTop * scale);
  }
}

void LCInstallerUICore::DrawConnectionCheck(int animation) {
  const unsigned int scale = static_cast<unsigned int>(m_renderScale);
  m_renderedUI.Copy(m_assets.m_connectionCheck, kConnectionCheckX * scale, kConnectionCheckY * scale);
  if (animation >= 0) {
    BlendAt(m_renderedUI, m_assets.m_progressAnimation, animation, kConnectionCheckX * scale,
            kConnectionTrackY * scale);
  }
}
