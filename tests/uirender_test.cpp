// Blending, the progress bar, the state texts, the busy animation and the
// slideshow of the composed frame.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>

#include "LCLocale.h"
#include "LCTrayIconArt.h"
#include "uicore_test_support.h"

namespace {

TEST(LCBGRAImageTest, IntegerBlendMatchesTheSinglePrecisionFormulaForEveryTriple) {
  long long differences = 0;
  for (int alpha = 0; alpha < 256; ++alpha) {
    for (int source = 0; source < 256; ++source) {
      for (int destination = 0; destination < 256; ++destination) {
        const unsigned char fast = LCBGRAImage::BlendFast(alpha, source, destination);
        const unsigned char reference = LCBGRAImage::BlendReference(alpha, source, destination);
        if (fast != reference && ++differences <= 5) {
          ADD_FAILURE() << "alpha " << alpha << " source " << source << " destination " << destination << ": "
                        << int(fast) << " != " << int(reference);
        }
      }
    }
  }
  EXPECT_EQ(0, differences);
}

TEST(LCBGRAImageTest, BlendAtAlphaZeroFullAndHalf) {
  LCBGRAImage frame = SolidImage(4, 1, 100, 100, 100, 77);
  LCBGRAImage source;
  source.Allocate(3, 1);
  const unsigned char pixels[] = {200, 50, 0, 0, 200, 50, 0, 255, 200, 50, 0, 128};
  source.Copy(pixels, 3, 1);
  frame.Copy(source, 1, 0);
  EXPECT_EQ((Pixel{100, 100, 100, 77}), PixelAt(frame, 0, 0));
  EXPECT_EQ((Pixel{100, 100, 100, 77}), PixelAt(frame, 1, 0));  // alpha 0: unchanged
  EXPECT_EQ((Pixel{200, 50, 0, 77}), PixelAt(frame, 2, 0));     // alpha 255: replaced, own alpha kept
  // 128/255 * 200 + 127/255 * 100 = 150.196; * 50 + * 100 = 74.90; * 0 + * 100 = 49.80
  EXPECT_EQ((Pixel{150, 74, 49, 77}), PixelAt(frame, 3, 0));
}

TEST(LCBGRAImageTest, RepeatedTranslucentColourBlendsLikeTheFormula) {
  // A uniform overlay takes the tabulated path; every destination byte is covered.
  for (unsigned char alpha : {1, 77, 128, 200, 254}) {
    SCOPED_TRACE(int(alpha));
    LCBGRAImage frame;
    frame.Allocate(256, 2);
    for (unsigned int i = 0; i < 512; ++i) {
      unsigned char* pixel = frame.GetData() + i * 4;
      pixel[0] = static_cast<unsigned char>(i);
      pixel[1] = static_cast<unsigned char>(255 - i);
      pixel[2] = static_cast<unsigned char>(i * 7);
      pixel[3] = 255;
    }
    const LCBGRAImage before = frame;
    frame.Copy(SolidImage(256, 2, 13, 250, 128, alpha), 0, 0);
    for (unsigned int i = 0; i < 512; ++i) {
      const unsigned char* was = before.GetData() + i * 4;
      const unsigned char* now = frame.GetData() + i * 4;
      ASSERT_EQ(LCBGRAImage::BlendReference(alpha, 13, was[0]), now[0]) << i;
      ASSERT_EQ(LCBGRAImage::BlendReference(alpha, 250, was[1]), now[1]) << i;
      ASSERT_EQ(LCBGRAImage::BlendReference(alpha, 128, was[2]), now[2]) << i;
    }
  }
}

TEST(LCBGRAImageTest, EmptyImagesAndOutOfFrameBlitsDrawNothing) {
  LCBGRAImage frame = SolidImage(10, 10, 1, 2, 3);
  const LCBGRAImage before = frame;
  frame.Copy(LCBGRAImage(), 0, 0);
  frame.Copy(SolidImage(5, 5, 9, 9, 9), 10, 0);
  frame.Copy(SolidImage(5, 5, 9, 9, 9), 0, 10);
  EXPECT_EQ(0, memcmp(before.GetData(), frame.GetData(), 400));
  LCBGRAImage empty;
  empty.Copy(SolidImage(5, 5, 9, 9, 9), 0, 0);
  EXPECT_TRUE(empty.IsEmpty());
}

TEST(LCBGRAImageTest, OversizedSourceIsClippedToTheFrame) {
  LCBGRAImage frame = SolidImage(10, 10, 1, 2, 3);
  frame.Copy(SolidImage(20, 20, 9, 9, 9), 8, 7);
  EXPECT_EQ((Pixel{9, 9, 9, 255}), PixelAt(frame, 9, 9));
  EXPECT_EQ((Pixel{9, 9, 9, 255}), PixelAt(frame, 8, 7));
  EXPECT_EQ((Pixel{1, 2, 3, 255}), PixelAt(frame, 7, 9));
  EXPECT_EQ((Pixel{1, 2, 3, 255}), PixelAt(frame, 9, 6));
}

TEST(LCBGRAImageTest, CopiesAreDeep) {
  LCBGRAImage first = SolidImage(2, 2, 1, 1, 1);
  LCBGRAImage second = first;
  second.GetData()[0] = 99;
  EXPECT_EQ(1, first.GetData()[0]);
  first = second;
  EXPECT_EQ(99, first.GetData()[0]);
  EXPECT_NE(first.GetData(), second.GetData());
}

// Word layers are held as their ink: cropping keeps every pixel that draws.
TEST(LCBGRAImageTest, CroppedToInkKeepsEveryVisiblePixelAndItsPlace) {
  LCBGRAImage layer = SolidImage(6, 5, 0, 0, 0, 0);
  layer.GetData()[(2 * 6 + 1) * 4 + 3] = 1;
  layer.GetData()[(3 * 6 + 4) * 4 + 3] = 255;
  unsigned int left = 99, top = 99;
  const LCBGRAImage ink = layer.CroppedToInk(left, top);
  EXPECT_EQ(1u, left);
  EXPECT_EQ(2u, top);
  EXPECT_EQ(4u, ink.GetWidth());
  EXPECT_EQ(2u, ink.GetHeight());
  EXPECT_EQ(1, PixelAt(ink, 0, 0).a);
  EXPECT_EQ(255, PixelAt(ink, 3, 1).a);
  EXPECT_TRUE(SolidImage(3, 3, 9, 9, 9, 0).CroppedToInk(left, top).IsEmpty());
  EXPECT_EQ(0u, left + top);
}

class UIRenderTest : public UICoreTest {
 protected:
  void SetUp() override {
    UICoreTest::SetUp();
    m_core->SetAssets(SyntheticAssets());
  }
  Pixel Render(unsigned int x, unsigned int y) {
    m_core->RenderUI();
    return PixelAt(m_core->GetRenderedUI(), x, y);
  }
  // The red byte names the picture drawn there; see SyntheticAssets.
  int KindAt(unsigned int x, unsigned int y) { return PixelAt(m_core->GetRenderedUI(), x, y).r; }
  void EnterDownloading(int percent) {
    m_core->OnInstallBegin();
    m_core->OnDownloadBegin();
    m_core->OnDownloadProgress(percent);
  }
};

TEST_F(UIRenderTest, NothingIsDrawnBeforeTheWindowExists) {
  LCInstallerUICore fresh{LCInstallerUICoreInitParams()};
  fresh.SetAssets(SyntheticAssets());
  fresh.RenderUI();
  EXPECT_TRUE(fresh.GetRenderedUI().IsEmpty());
}

TEST_F(UIRenderTest, WelcomeScreenShowsButtonLooksFromTheFlags) {
  m_core->RenderUI();
  EXPECT_EQ(868u, m_core->GetRenderedUI().GetWidth());
  EXPECT_EQ(592u, m_core->GetRenderedUI().GetHeight());
  EXPECT_EQ((Pixel{10, 10, 0, 255}), PixelAt(m_core->GetRenderedUI(), 400, 400));  // slide 0, no hover
  EXPECT_EQ((Pixel{70, 0, 0, 255}), PixelAt(m_core->GetRenderedUI(), 11, 5));      // app close, normal
  EXPECT_EQ(10, KindAt(596, 57));                                                  // no close button

  m_core->OnMouseMove(365, 393);
  EXPECT_EQ((Pixel{90, 0, 0, 255}), Render(365, 393));
  m_core->OnLButtonDown(365, 393);
  EXPECT_EQ((Pixel{90, 1, 0, 255}), Render(503, 428));
  m_core->OnMouseMove(434, 454);
  m_core->RenderUI();
  EXPECT_EQ(100, KindAt(434, 454));
  // Pressed but no longer under the pointer: neither look.
  EXPECT_EQ(10, KindAt(365, 393));
  m_core->OnMouseMove(12, 6);
  EXPECT_EQ((Pixel{70, 1, 0, 255}), Render(11, 5));

  // The focus ring: two pixels wide, two pixels outside Install now on every
  // side, not over it, and rounded as the button is.
  m_core->OnKey(kLCInstallerKeyTab);
  m_core->RenderUI();
  const Pixel ring{240, 106, 60, 255};
  const int middleX = (365 + 503) / 2;
  const int middleY = (393 + 428) / 2;
  for (int along : {0, 1}) {
    SCOPED_TRACE(along);
    EXPECT_EQ(ring, PixelAt(m_core->GetRenderedUI(), middleX, 389 + along));  // above
    EXPECT_EQ(ring, PixelAt(m_core->GetRenderedUI(), middleX, 431 + along));  // below
    EXPECT_EQ(ring, PixelAt(m_core->GetRenderedUI(), 361 + along, middleY));  // left
    EXPECT_EQ(ring, PixelAt(m_core->GetRenderedUI(), 506 + along, middleY));  // right
    EXPECT_NE(240, KindAt(middleX, 391 + along));                             // the gap
    EXPECT_NE(240, KindAt(504 + along, middleY));
  }
  EXPECT_NE(240, KindAt(360, middleY));  // beyond the ring
  EXPECT_NE(240, KindAt(middleX, 388));
  EXPECT_NE(240, KindAt(361, 389));  // the corner is round, and off the button's own round corner
  EXPECT_NE(240, KindAt(368, 396));
}

TEST_F(UIRenderTest, ProgressBarFillsInProportionWhileDownloading) {
  EnterDownloading(0);
  m_core->RenderUI();
  EXPECT_EQ(40, KindAt(285, 58));  // busy animation, no bar

  m_core->OnDownloadProgress(50);
  m_core->RenderUI();
  // 0.5 * 301 + 0.5 = 151 columns: 285..435
  EXPECT_EQ(20, KindAt(285, 58));
  EXPECT_EQ(20, KindAt(435, 67));
  EXPECT_EQ(30, KindAt(436, 58));  // the background beyond the bar, no animation

  m_core->OnDownloadProgress(100);
  m_core->RenderUI();
  EXPECT_EQ(20, KindAt(585, 58));
}

TEST_F(UIRenderTest, OutOfRangePercentagesKeepTheBarInsideItsImage) {
  EnterDownloading(-20);
  m_core->RenderUI();
  EXPECT_EQ(30, KindAt(285, 58));
  m_core->OnDownloadProgress(250);
  m_core->RenderUI();
  EXPECT_EQ(20, KindAt(585, 58));
  EXPECT_EQ(10, KindAt(586, 58));
}

TEST_F(UIRenderTest, DownloadDoneShowsTheDownloadingTextAndTheBusyAnimation) {
  EnterDownloading(60);
  m_core->OnDownloadDone(1);
  m_core->RenderUI();
  EXPECT_EQ(40, KindAt(285, 58));
  EXPECT_EQ((Pixel{50, 1, 0, 255}), PixelAt(m_core->GetRenderedUI(), 326, 68));
}

TEST_F(UIRenderTest, EachStateShowsItsText) {
  const std::vector<std::pair<std::function<void()>, unsigned char>> steps = {
      {[&] { m_core->OnInstallBegin(); }, 0},   {[&] { m_core->OnHandshakeBegin(); }, 0},
      {[&] { m_core->OnHandshakeDone(1); }, 0}, {[&] { m_core->OnDownloadBegin(); }, 1},
      {[&] { m_core->OnDownloadDone(1); }, 1},  {[&] { m_core->OnExtractBegin(); }, 2},
      {[&] { m_core->OnExtractDone(); }, 2},    {[&] { m_core->OnSetupBegin(); }, 3},
      {[&] { m_core->OnSetupDone(); }, 3},      {[&] { m_core->OnAppLaunchBegin(); }, 4},
      {[&] { m_core->OnAppLaunchDone(); }, 4},  {[&] { m_core->OnInstallDone(); }, 0},
  };
  for (const auto& step : steps) {
    step.first();
    SCOPED_TRACE(m_core->GetState());
    EXPECT_EQ((Pixel{50, step.second, 0, 255}), Render(326, 68));
    EXPECT_EQ(40, KindAt(285, 58));
    EXPECT_EQ(80, KindAt(11, 5));
    EXPECT_EQ(60, KindAt(596, 57));
  }
}

TEST_F(UIRenderTest, BusyAnimationRunsThroughItsFramesOnceASecond) {
  m_core->OnInstallBegin();
  struct Step {
    long advanceMs;
    unsigned char frame;
  };
  // phase 0 -> 0; 0.05 -> 0.95 -> 0; 0.06 -> 1.04 -> 1; 0.5 -> 5; 0.999 -> 9; 1.0 -> 0
  for (const Step& step : {Step{0, 0}, Step{50, 0}, Step{10, 1}, Step{440, 5}, Step{499, 9}, Step{1, 0}}) {
    m_clock.AdvanceMs(step.advanceMs);
    EXPECT_EQ((Pixel{40, step.frame, 0, 255}), Render(300, 60));
  }
}

TEST_F(UIRenderTest, DisabledMaskDarkensTheWholeFrameWhileABoxIsUp) {
  Pixel inside{};
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    inside = Render(800, 500);
    return kLCInstallerMBResultNo;
  });
  m_core->OnAppClose();
  // 127/255 * 10 = 4.98 -> 4; 127/255 * 10 -> 4; 0
  EXPECT_EQ((Pixel{4, 4, 0, 255}), inside);
  EXPECT_EQ((Pixel{10, 10, 0, 255}), Render(800, 500));

  // A mask of one colour is blended as that colour, never decoded, and the
  // frame is the same to the byte.
  auto frameBehindABox = [&] {
    LCBGRAImage frame;
    LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
      m_core->RenderUI();
      frame = m_core->GetRenderedUI();
      return kLCInstallerMBResultNo;
    });
    m_core->OnAppClose();
    return frame;
  };
  const LCBGRAImage masked = frameBehindABox();
  LCUIAssets veiled = SyntheticAssets();
  veiled.m_disabledVeil = veiled.m_disabledMask.Pixels().OneColour();
  veiled.m_disabledMask = LCEncodedImage();
  m_core->SetAssets(std::move(veiled));
  const LCBGRAImage covered = frameBehindABox();
  ASSERT_FALSE(masked.IsEmpty());
  ASSERT_EQ(masked.GetWidth(), covered.GetWidth());
  EXPECT_TRUE(
      std::equal(masked.GetData(), masked.GetData() + masked.GetWidth() * masked.GetHeight() * 4, covered.GetData()));
  EXPECT_TRUE(SolidImage(2, 1, 1, 2, 3, 4).OneColour().GetWidth() == 1);
  LCBGRAImage twoColours = SolidImage(2, 1, 1, 2, 3, 4);
  twoColours.GetData()[4] = 9;
  EXPECT_TRUE(twoColours.OneColour().IsEmpty());
}

// The window is handed a frame only when it would look different: an idle
// window costs nothing, and no change is ever missed.
TEST_F(UIRenderTest, FrameIsRebuiltOnlyWhenSomethingVisibleChanged) {
  struct Step {
    const char* label;
    std::function<void()> change;
    bool rebuilt;
  };
  const std::vector<Step> steps = {
      {"first frame", [] {}, true},
      {"nothing", [] {}, false},
      {"time alone on the welcome screen", [&] { m_clock.AdvanceMs(5000); }, false},
      {"hover", [&] { m_core->OnMouseMove(400, 410); }, true},
      {"pointer within the same control", [&] { m_core->OnMouseMove(401, 411); }, false},
      {"press", [&] { m_core->OnLButtonDown(401, 411); }, true},
      {"release off the control", [&] { m_core->OnLButtonUp(10, 300); }, true},
      {"focus moves", [&] { m_core->OnKey(kLCInstallerKeyTab); }, true},
      {"installation begins", [&] { m_core->OnInstallBegin(); }, true},
      {"busy animation step", [&] { m_clock.AdvanceMs(100); }, true},
      {"same animation picture", [&] { m_clock.AdvanceMs(10); }, false},
      {"download at 10 %", [&] { EnterDownloading(10); }, true},
      {"time alone while the bar stands", [&] { m_clock.AdvanceMs(300); }, false},
      {"progress", [&] { m_core->OnDownloadProgress(11); }, true},
      {"slide picked", [&] { m_core->OnMouseClick(kLCInstallerButtonSlide3); }, true},
      {"new pictures", [&] { m_core->SetAssets(SyntheticAssets()); }, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.label);
    step.change();
    EXPECT_EQ(step.rebuilt, m_core->RenderUI());
  }
  bool maskRebuilt = false;
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    maskRebuilt = m_core->RenderUI();
    return kLCInstallerMBResultNo;
  });
  m_core->OnAppClose();
  EXPECT_TRUE(maskRebuilt);
  EXPECT_TRUE(m_core->RenderUI());  // the mask goes with the box
}

TEST(TrayIconArtTest, ProgressBarAlongTheBottomFilledFromTheLeft) {
  const LCBGRAImage icon = SolidImage(20, 20, 0, 0, 0, 0);
  const LCBGRAImage plain = LCDrawIconProgress(icon, -1);
  EXPECT_EQ((Pixel{0, 0, 0, 0}), PixelAt(plain, 2, 19));
  const LCBGRAImage half = LCDrawIconProgress(icon, 50);
  const Pixel bar{240, 106, 60, 255};
  const Pixel track{40, 40, 40, 255};
  EXPECT_EQ(bar, PixelAt(half, 9, 19));
  EXPECT_EQ(track, PixelAt(half, 10, 19));
  EXPECT_EQ(bar, PixelAt(half, 0, 17));  // three rows at 20 pixels high
  EXPECT_EQ((Pixel{0, 0, 0, 0}), PixelAt(half, 0, 16));
  EXPECT_EQ(bar, PixelAt(LCDrawIconProgress(icon, 250), 19, 19));  // held to 100
  EXPECT_EQ(track, PixelAt(LCDrawIconProgress(icon, 0), 0, 19));

  // Over a template the menu bar reads alpha alone: no colour, the bar solid
  // and the track faint, also while busy.
  const LCBGRAImage overTemplate = LCDrawIconProgress(icon, 50, kLCIconBarTemplate);
  EXPECT_EQ((Pixel{0, 0, 0, 255}), PixelAt(overTemplate, 9, 19));
  EXPECT_EQ(0, PixelAt(overTemplate, 10, 19).r);
  EXPECT_LT(PixelAt(overTemplate, 10, 19).a, 128);
  EXPECT_GT(PixelAt(overTemplate, 10, 19).a, 0);
  const LCBGRAImage busy = LCDrawIconBusy(icon, 3, kLCIconBarTemplate);
  for (unsigned int x = 0; x < 20; ++x) EXPECT_EQ(0, PixelAt(busy, x, 19).r + PixelAt(busy, x, 19).g);
}

class SlideshowTest : public UIRenderTest {
 protected:
  int SlideAfter(long milliseconds) {
    m_clock.AdvanceMs(milliseconds);
    m_core->RenderUI();
    return m_core->GetSlideIndex();
  }
  void Begin() {
    m_core->OnInstallBegin();
    m_core->GetTrayHelper().BringOutOfTray();  // as a click on the menu-bar item does
  }
};

// A solid picture of the colour its "file" names, counted.
int g_decodings = 0;
LCBGRAImage DecodeSolid(const std::vector<unsigned char>& bytes, const char*) {
  ++g_decodings;
  return SolidImage(868, 592, bytes[0], bytes[1], bytes[2], bytes[3]);
}

// A decoded slide is 2 MiB at 1x and 8 at 2x: only the one in view is held,
// and the next while the show runs; the box's mask only while a box is up.
TEST_F(SlideshowTest, OnlyTheShownAndTheNextSlideAreHeldDecoded) {
  LCUIAssets assets = SyntheticAssets();
  for (unsigned char i = 0; i < 8; ++i) {
    assets.m_slides[i] = LCEncodedImage({10, static_cast<unsigned char>(10 + i), 0, 255}, DecodeSolid, "slide");
  }
  assets.m_disabledMask = LCEncodedImage({0, 0, 0, 128}, DecodeSolid, "mask");
  m_core->SetAssets(std::move(assets));
  auto held = [&] {
    std::vector<int> decoded;
    for (int i = 0; i < 8; ++i) {
      if (m_core->GetAssets().m_slides[i].IsDecoded()) decoded.push_back(i);
    }
    return decoded;
  };
  g_decodings = 0;
  SlideAfter(0);
  SlideAfter(67);
  EXPECT_EQ(std::vector<int>{0}, held());  // the welcome screen has no next
  Begin();
  SlideAfter(0);
  EXPECT_EQ(std::vector<int>{1}, held());
  SlideAfter(67);
  EXPECT_EQ((std::vector<int>{1, 2}), held());
  EXPECT_EQ(2, SlideAfter(10000));
  EXPECT_EQ((Pixel{10, 12, 0, 255}), PixelAt(m_core->GetRenderedUI(), 800, 500));
  EXPECT_EQ((std::vector<int>{2, 3}), held());
  m_core->OnMouseClick(kLCInstallerButtonSlide6);
  SlideAfter(0);
  SlideAfter(67);
  EXPECT_EQ((std::vector<int>{6, 7}), held());
  EXPECT_EQ((Pixel{10, 16, 0, 255}), PixelAt(m_core->GetRenderedUI(), 800, 500));
  EXPECT_EQ(6, g_decodings);  // 0 to 3, 6 and 7, each once
  EXPECT_FALSE(m_core->GetAssets().m_disabledMask.IsDecoded());
  bool maskWhileAsked = false;
  std::vector<int> heldWhileAsked;
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    SlideAfter(0);
    maskWhileAsked = m_core->GetAssets().m_disabledMask.IsDecoded();
    heldWhileAsked = held();
    return kLCInstallerMBResultNo;
  });
  m_core->OnAppClose();
  EXPECT_TRUE(maskWhileAsked);
  EXPECT_EQ(std::vector<int>{6}, heldWhileAsked);  // the show waits behind the box
  SlideAfter(0);
  EXPECT_FALSE(m_core->GetAssets().m_disabledMask.IsDecoded());
}

TEST_F(SlideshowTest, WelcomeScreenNeverAdvances) { EXPECT_EQ(0, SlideAfter(60000)); }

TEST_F(SlideshowTest, AutomaticSlidesStayTenSecondsAndTheShowStopsOnTheLast) {
  Begin();
  EXPECT_EQ(1, SlideAfter(9999));
  EXPECT_EQ(2, SlideAfter(1));
  EXPECT_EQ((Pixel{10, 12, 0, 255}), PixelAt(m_core->GetRenderedUI(), 800, 500));
  EXPECT_EQ(110, KindAt(393 + 14, 546));  // the second dot is lit
  for (int slide = 3; slide <= 7; ++slide) EXPECT_EQ(slide, SlideAfter(10000));
  EXPECT_EQ(7, SlideAfter(10000));
  EXPECT_EQ(7, SlideAfter(60000));
}

TEST_F(SlideshowTest, ChosenSlideStaysTwentySeconds) {
  Begin();
  m_clock.AdvanceMs(7000);
  m_core->OnMouseClick(kLCInstallerButtonSlide4);
  m_core->RenderUI();
  EXPECT_EQ(4, m_core->GetSlideIndex());
  EXPECT_EQ((Pixel{10, 14, 0, 255}), PixelAt(m_core->GetRenderedUI(), 800, 500));
  EXPECT_EQ(4, SlideAfter(19999));
  EXPECT_EQ(5, SlideAfter(1));
  EXPECT_EQ(5, SlideAfter(9999));  // the next one is automatic again
  EXPECT_EQ(6, SlideAfter(1));
}

TEST_F(SlideshowTest, NoAdvanceInTheMenuBarOrWhileABoxIsUp) {
  m_core->OnInstallBegin();
  ASSERT_TRUE(m_core->GetTrayHelper().IsInTray());
  EXPECT_EQ(1, SlideAfter(30000));
  m_core->MaximizeUI();  // restarts the dwell of the slide in view
  EXPECT_EQ(1, SlideAfter(9999));
  int slideWhileAsked = -1;
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    slideWhileAsked = SlideAfter(30000);
    return kLCInstallerMBResultNo;
  });
  m_core->OnAppClose();
  EXPECT_EQ(1, slideWhileAsked);
  EXPECT_EQ(2, SlideAfter(0));
}

}  // namespace

namespace {

// The rectangle of the pixels that are not transparent; all zero for none.
LCRect InkBox(const LCBGRAImage& image) {
  LCRect box{static_cast<int>(image.GetWidth()), static_cast<int>(image.GetHeight()), -1, -1};
  for (unsigned int y = 0; y < image.GetHeight(); ++y) {
    for (unsigned int x = 0; x < image.GetWidth(); ++x) {
      if (PixelAt(image, x, y).a == 0) continue;
      box.left = std::min(box.left, static_cast<int>(x));
      box.top = std::min(box.top, static_cast<int>(y));
      box.right = std::max(box.right, static_cast<int>(x));
      box.bottom = std::max(box.bottom, static_cast<int>(y));
    }
  }
  return box.right < 0 ? LCRect() : box;
}

::testing::AssertionResult InkInside(const LCBGRAImage& image, int left, int top, int right, int bottom, int scale,
                                     int offsetX = 0, int offsetY = 0) {
  LCRect ink = InkBox(image);
  if (ink.right <= 0) return ::testing::AssertionFailure() << "no words drawn";
  ink.left += offsetX;
  ink.right += offsetX;
  ink.top += offsetY;
  ink.bottom += offsetY;
  if (ink.left >= left * scale && ink.top >= top * scale && ink.right <= right * scale - 1 &&
      ink.bottom <= bottom * scale - 1) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "words at " << ink.left << "," << ink.top << " to " << ink.right << ","
                                       << ink.bottom << ", outside " << left * scale << "," << top * scale << " to "
                                       << right * scale - 1 << "," << bottom * scale - 1;
}

// The shipped pictures, for every locale at both scales, must fit the places
// the core blends them at, and the words must stay inside their places: a
// picture that overhangs its rectangle would paint over its neighbours, and a
// word cut off by its picture touches the picture's edge.
TEST_F(UICoreTest, ShippedPicturesAllLoadAndFitTheirPlaces) {
  LCInstallerUIHeadless::SetAssetFolder(CLIPVANE_ASSET_DIR);
  for (const std::string& locale : LCLocale::Available()) {
    for (const unsigned int scale : {1u, 2u}) {
      SCOPED_TRACE(locale + " at " + std::to_string(scale) + "x");
      LCInstallerText::Load(KWPath(CLIPVANE_ASSET_DIR), locale);
      m_core->SetRenderScale(static_cast<int>(scale));
      LogCapture log;
      m_core->LoadUIAssets();
      EXPECT_FALSE(log.Contains("unsupported samplesPerPixel"));
      const LCUIAssets& assets = m_core->GetAssets();
      auto fits = [scale](const LCBGRAImage& image, unsigned int width, unsigned int height) {
        return !image.IsEmpty() && image.GetWidth() <= width * scale && image.GetHeight() <= height * scale;
      };
      ASSERT_EQ(8u, assets.m_slides.size());
      ASSERT_EQ(8u, assets.m_slideTexts.size());
      for (size_t i = 0; i < 8; ++i) {
        const LCBGRAImage slide = assets.m_slides[i].Decode();
        EXPECT_EQ(868u * scale, slide.GetWidth());
        EXPECT_EQ(592u * scale, slide.GetHeight());
      }
      // The words are held cropped to their ink, where they are drawn: the
      // welcome screen's from the tagline down; a slide's beside its
      // illustration and inside it, clear of the progress panel and the dots.
      auto wordsInside = [&](size_t i, int left, int top, int right, int bottom) {
        const LCPlacedImage& words = assets.m_slideTexts[i];
        return InkInside(words.m_image, left, top, right, bottom, scale, static_cast<int>(words.m_left),
                         static_cast<int>(words.m_top));
      };
      EXPECT_TRUE(wordsInside(0, 40, 310, 828, 590));
      for (size_t i = 1; i < 8; ++i) EXPECT_TRUE(wordsInside(i, 130, 200, 850, 350)) << i;
      const LCBGRAImage maskPixels = assets.m_disabledMask.Decode();
      EXPECT_EQ(868u * scale, maskPixels.GetWidth());
      EXPECT_EQ(592u * scale, maskPixels.GetHeight());
      const Pixel mask = PixelAt(maskPixels, 400, 300);
      EXPECT_GT(mask.a, 0);
      EXPECT_LT(mask.a, 255);
      EXPECT_TRUE(fits(assets.m_installNowHover, 139, 36));
      EXPECT_TRUE(fits(assets.m_installNowClick, 139, 36));
      // The licence link under the pointer, on the licence line's row.
      EXPECT_TRUE(InkInside(assets.m_eulaHover.m_image, 40, 450, 828, 470, scale,
                            static_cast<int>(assets.m_eulaHover.m_left), static_cast<int>(assets.m_eulaHover.m_top)));
      EXPECT_TRUE(fits(assets.m_dotHover, 7, 7));
      // One 12-point cell for each character the locale's figures can have:
      // a strip drawn from other texts is refused (it would set the wrong glyphs).
      EXPECT_FALSE(assets.m_figureGlyphs.IsEmpty());
      // The bar may not reach the close button at x 596; the text starts below the bar.
      EXPECT_TRUE(fits(assets.m_progressBar, 596 - 285, 68 - 58));
      EXPECT_TRUE(fits(assets.m_progressBarBackground, 596 - 285, 68 - 58));
      ASSERT_EQ(10u, assets.m_progressAnimation.size());
      for (const LCBGRAImage& frame : assets.m_progressAnimation) EXPECT_TRUE(fits(frame, 596 - 285, 68 - 58));
      ASSERT_EQ(7u, assets.m_stateTexts.size());
      for (const LCBGRAImage& text : assets.m_stateTexts) {
        EXPECT_TRUE(fits(text, 260, 14));
        EXPECT_TRUE(InkInside(text, 0, 0, 260 - 1, 14, scale));
      }
      for (const std::vector<LCBGRAImage>* looks :
           {&assets.m_closeImages, &assets.m_appCloseImages, &assets.m_appMinimizeImages}) {
        ASSERT_EQ(3u, looks->size());
        for (const LCBGRAImage& look : *looks) EXPECT_TRUE(fits(look, 15, 15));
      }
    }
  }
  EXPECT_EQ(KWString(CLIPVANE_ASSET_DIR "/cacert.pem"), m_core->GetCACertPath().GetPathAsKWString());
  EXPECT_TRUE(PathExists(CLIPVANE_ASSET_DIR "/tessel.icns"));
  EXPECT_TRUE(PathExists(CLIPVANE_ASSET_DIR "/clipvane.icns"));
}

// A 2x frame averaged over 2 x 2 blocks, against the 1x frame: the mean
// absolute difference per colour sample, and the pixels of the 1x frame that
// no pixel of the halved frame nearby (5 to each side, 1 above and below)
// matches within 48 in every sample (of 868 x 592). Words come out a little wider or
// narrower at the larger size (each glyph's advance is rounded to whole
// pixels at either size: up to 5 px over a long title), which the nearby
// search allows for; a picture or a word out of place, or drawn at the wrong
// scale, leaves pixels that nothing nearby matches.
struct FrameDifference {
  double mean = 0;
  long long unmatched = 0;
};

FrameDifference CompareHalved(const LCBGRAImage& twice, const LCBGRAImage& once) {
  const int width = static_cast<int>(once.GetWidth());
  const int height = static_cast<int>(once.GetHeight());
  std::vector<int> halved(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Pixel a = PixelAt(twice, 2 * x, 2 * y), b = PixelAt(twice, 2 * x + 1, 2 * y);
      const Pixel c = PixelAt(twice, 2 * x, 2 * y + 1), d = PixelAt(twice, 2 * x + 1, 2 * y + 1);
      int* h = &halved[(static_cast<size_t>(y) * width + x) * 3];
      h[0] = (a.r + b.r + c.r + d.r + 2) / 4;
      h[1] = (a.g + b.g + c.g + d.g + 2) / 4;
      h[2] = (a.b + b.b + c.b + d.b + 2) / 4;
    }
  }
  FrameDifference difference;
  long long total = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Pixel p = PixelAt(once, x, y);
      const int* h = &halved[(static_cast<size_t>(y) * width + x) * 3];
      total += std::abs(h[0] - p.r) + std::abs(h[1] - p.g) + std::abs(h[2] - p.b);
      bool matched = false;
      for (int dy = -1; dy <= 1 && !matched; ++dy) {
        for (int dx = -5; dx <= 5 && !matched; ++dx) {
          const int nx = x + dx, ny = y + dy;
          if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
          const int* n = &halved[(static_cast<size_t>(ny) * width + nx) * 3];
          matched = std::abs(n[0] - p.r) <= 48 && std::abs(n[1] - p.g) <= 48 && std::abs(n[2] - p.b) <= 48;
        }
      }
      difference.unmatched += !matched;
    }
  }
  difference.mean = static_cast<double>(total) / (static_cast<double>(width) * height * 3);
  return difference;
}

// Where the frame differs from the ground it was drawn on, in the frame's
// rows and columns top..bottom and left..right (in points, right and bottom
// exclusive): the box of the pixels with any sample more than 8 apart, and the
// mean colour of those pixels in the frame and in the ground.
struct Ink {
  LCRect box{0, 0, -1, -1};
  double colour[3] = {0, 0, 0};
  double ground[3] = {0, 0, 0};
};

Ink InkOver(const LCBGRAImage& frame, const LCBGRAImage& ground, int left, int top, int right, int bottom, int scale) {
  Ink ink;
  ink.box = LCRect{right * scale, bottom * scale, -1, -1};
  long long count = 0;
  for (int y = top * scale; y < bottom * scale; ++y) {
    for (int x = left * scale; x < right * scale; ++x) {
      const Pixel p = PixelAt(frame, x, y), g = PixelAt(ground, x, y);
      if (std::abs(p.r - g.r) <= 8 && std::abs(p.g - g.g) <= 8 && std::abs(p.b - g.b) <= 8) continue;
      ink.box = LCRect{std::min(ink.box.left, x), std::min(ink.box.top, y), std::max(ink.box.right, x),
                       std::max(ink.box.bottom, y)};
      const int ps[3] = {p.r, p.g, p.b}, gs[3] = {g.r, g.g, g.b};
      for (int c = 0; c < 3; ++c) {
        ink.colour[c] += ps[c];
        ink.ground[c] += gs[c];
      }
      ++count;
    }
  }
  for (int c = 0; c < 3; ++c) {
    ink.colour[c] /= std::max(count, 1LL);
    ink.ground[c] /= std::max(count, 1LL);
  }
  return ink;
}

// The contrast ratio of two sRGB colours (0..255 a sample, in the frame's
// order: blue, green, red), 1 to 21.
double Contrast(const double* a, const double* b) {
  auto luminance = [](const double* rgb) {
    double linear[3];
    for (int c = 0; c < 3; ++c) {
      const double v = rgb[c] / 255;
      linear[c] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    return 0.2126 * linear[2] + 0.7152 * linear[1] + 0.0722 * linear[0];
  };
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Every locale's welcome, download and error frames render with its words
// and at both scales; the 2x frame, halved, is the 1x frame drawn sharper.
// The licence line is centred on the window, its link's click area is its
// words, and the download's figures read against their panel and start where
// the bar starts.
TEST_F(UICoreTest, EveryLocaleRendersItsFramesAtBothScales) {
  LCInstallerUIHeadless::SetAssetFolder(CLIPVANE_ASSET_DIR);
  std::map<std::string, LCBGRAImage> welcomes;
  for (const std::string& locale : LCLocale::Available()) {
    LCInstallerText::Load(KWPath(CLIPVANE_ASSET_DIR), locale);
    // welcome, welcome with the focus ring and the connection check, download,
    // error box up; 1x then 2x
    std::vector<LCBGRAImage> frames[4];
    for (const int scale : {1, 2}) {
      SCOPED_TRACE(locale + " at " + std::to_string(scale) + "x");
      m_core.reset(new LCInstallerUICore(LCInstallerUICoreInitParams()));
      m_core->SetRenderScale(scale);
      m_core->CreateUI();
      ASSERT_TRUE(m_core->RenderUI());
      frames[0].push_back(m_core->GetRenderedUI());
      const LCBGRAImage welcomeGround = m_core->GetAssets().m_slides[0].Decode();
      const Ink line = InkOver(frames[0].back(), welcomeGround, 0, 448, 868, 470, scale);
      const int centre = line.box.left + line.box.right + 1;  // twice the ink's centre
      EXPECT_LE(std::abs(centre - 868 * scale), 2 * 2 * scale) << line.box.left << " to " << line.box.right;
      LCRect link;
      for (const LCUIControl& control : m_core->GetControls()) {
        if (control.m_id == kLCInstallerButtonEULA) link = control.m_rect;
      }
      // The link's words end the line; the ring (2 points out, 2 wide) stays
      // clear of the words before them.
      EXPECT_NEAR(line.box.right / scale, link.right, 1);
      const Ink before = InkOver(frames[0].back(), welcomeGround, 0, 448, link.left - 4, 470, scale);
      EXPECT_LT(before.box.right, (link.left - 4) * scale - 1);
      EXPECT_GT(before.box.right, line.box.left + 100 * scale);
      m_core->OnKey(kLCInstallerKeyTab);
      m_core->OnInstallNowButtonClick();
      ASSERT_TRUE(m_core->RenderUI());
      frames[1].push_back(m_core->GetRenderedUI());
      m_core->OnInstallBegin();
      m_core->OnDownloadBegin();
      m_core->OnDownloadSize(26000000);
      m_core->OnDownloadProgress(17);  // "1" stands in from its cell: the figures start at its ink
      ASSERT_TRUE(m_core->RenderUI());
      frames[2].push_back(m_core->GetRenderedUI());
      const LCBGRAImage slideGround = m_core->GetAssets().m_slides[1].Decode();
      const Ink figures = InkOver(frames[2].back(), slideGround, 280, 44, 590, 57, scale);
      const Ink bar = InkOver(frames[2].back(), slideGround, 280, 58, 590, 66, scale);
      EXPECT_EQ(bar.box.left, figures.box.left);
      EXPECT_GE(Contrast(figures.colour, figures.ground), 4.5);
      std::cout << locale << " " << scale << "x: figures from " << figures.box.left << ", bar from " << bar.box.left
                << ", contrast " << Contrast(figures.colour, figures.ground) << "\n";
      LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
        m_core->RenderUI();
        frames[3].push_back(m_core->GetRenderedUI());
        return kLCInstallerMBResultCancel;
      });
      m_core->OnError(9000);
      ASSERT_EQ(static_cast<size_t>(scale), frames[3].size());
      for (const std::vector<LCBGRAImage>& frame : frames) {
        EXPECT_EQ(868u * scale, frame.back().GetWidth());
        EXPECT_EQ(592u * scale, frame.back().GetHeight());
      }
    }
    for (const std::vector<LCBGRAImage>& frame : frames) {
      const FrameDifference difference = CompareHalved(frame[1], frame[0]);
      // Measured: means 0.4 to 1.8, at most 160 unmatched pixels (thin lines
      // and dots of the art); the install-now button out of place is 5000.
      EXPECT_LT(difference.mean, 2.5) << locale;
      EXPECT_LT(difference.unmatched, 400) << locale;
      std::cout << locale << ": 2x halved against 1x: mean " << difference.mean << ", unmatched "
                << difference.unmatched << "\n";
    }
    welcomes[locale] = frames[0][0];
  }
  // Each locale's words, and only the words, differ from English's.
  for (const char* locale : {"de", "fr", "ja"}) {
    long long changedInWords = 0;
    long long changedElsewhere = 0;
    for (unsigned int y = 0; y < 592; ++y) {
      for (unsigned int x = 0; x < 868; ++x) {
        if (PixelAt(welcomes[locale], x, y) == PixelAt(welcomes["en"], x, y)) continue;
        (y >= 310 ? changedInWords : changedElsewhere)++;
      }
    }
    EXPECT_GT(changedInWords, 1000) << locale;
    EXPECT_EQ(0, changedElsewhere) << locale;
  }
}

TEST_F(UICoreTest, MissingPicturesLeaveEmptyImagesAndALogLine) {
  LogCapture log;
  m_core->LoadUIAssets();  // the fixture's folder is empty
  m_core->RenderUI();      // the slide is decoded when it is shown
  EXPECT_TRUE(log.Contains("Error - unsupported samplesPerPixel:0 for file:installer_ui_1.jpg"));
  EXPECT_TRUE(m_core->GetRenderedUI().IsEmpty());
}

}  // namespace
