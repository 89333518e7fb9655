// Pointer and key input: hits, clicks, drags, the button actions, which
// objects take input in each phase, focus and close requests.
#include <thread>

#include "LCInstallerEndpoints.h"
#include "uicore_test_support.h"

namespace {

class UIInputTest : public UICoreTest {
 protected:
  void Click(int x, int y) {
    m_core->OnLButtonDown(x, y);
    m_core->OnLButtonUp(x, y);
  }
};

TEST_F(UIInputTest, RectangleEdgesAreInside) {
  AnswerAll(kLCInstallerMBResultNo);
  struct Case {
    int x, y;
    bool hit;
  };
  // The application-close button: 11, 5 to 25, 19.
  for (const Case& point : {Case{11, 5, true}, Case{25, 19, true}, Case{25, 5, true}, Case{11, 19, true},
                            Case{26, 19, false}, Case{25, 20, false}, Case{10, 5, false}, Case{11, 4, false}}) {
    SCOPED_TRACE(std::to_string(point.x) + "," + std::to_string(point.y));
    m_core->OnLButtonDown(point.x, point.y);
    EXPECT_EQ(point.hit, m_core->GetObject(kLCInstallerButtonApp).m_isPressed);
    EXPECT_EQ(!point.hit, m_core->IsDragging());
    m_core->OnLButtonUp(point.x, point.y);
  }
}

TEST_F(UIInputTest, ClickNeedsPressAndReleaseOnTheSameObject) {
  AnswerAll(kLCInstallerMBResultNo);
  Click(20, 10);
  EXPECT_EQ(1u, LCInstallerUIHeadless::GetMessageBoxes().size());
  EXPECT_EQ(std::vector<std::string>{"AppCloseClick"}, PingLog::Get().Names());

  // Pressed on the button, released on the licence link: nothing, and the look goes.
  m_core->OnLButtonDown(20, 10);
  m_core->OnLButtonUp(440, 460);
  EXPECT_EQ(1u, LCInstallerUIHeadless::GetMessageBoxes().size());
  EXPECT_FALSE(m_core->GetObject(kLCInstallerButtonApp).m_isPressed);
  // Pressed on the background, released on the button: no click either.
  m_core->OnLButtonDown(200, 200);
  m_core->OnLButtonUp(20, 10);
  EXPECT_EQ(1u, LCInstallerUIHeadless::GetMessageBoxes().size());
  EXPECT_EQ(std::vector<std::string>{"AppCloseClick"}, PingLog::Get().Names());
}

TEST_F(UIInputTest, DragMovesTheWindowByThePointerOffsetAndLeavesLooksAlone) {
  const KWINT32Point start = LCInstallerUIHeadless::GetWindowPosition();
  m_core->OnLButtonDown(200, 100);
  EXPECT_TRUE(m_core->IsDragging());
  m_core->OnMouseMove(210, 105);
  KWINT32Point moved = LCInstallerUIHeadless::GetWindowPosition();
  EXPECT_EQ(start.x + 10, moved.x);
  EXPECT_EQ(start.y + 5, moved.y);
  // Over the install button while dragging: no hover.
  m_core->OnMouseMove(370, 400);
  EXPECT_FALSE(m_core->GetObject(kLCInstallerButtonInstallNow).m_isHover);
  m_core->OnLButtonUp(370, 400);
  EXPECT_FALSE(m_core->IsDragging());
  EXPECT_TRUE(m_core->IsWaitingOnInstallButtonClick());
  moved = LCInstallerUIHeadless::GetWindowPosition();
  EXPECT_EQ(start.x + 10 + 170, moved.x);
  EXPECT_EQ(start.y + 5 + 300, moved.y);
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls("DoMouseCapture"));
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls("ReleaseMouseCapture"));
  // After the drag, moves set hover flags again.
  m_core->OnMouseMove(370, 400);
  EXPECT_TRUE(m_core->GetObject(kLCInstallerButtonInstallNow).m_isHover);
  m_core->OnMouseMove(300, 300);
  EXPECT_FALSE(m_core->GetObject(kLCInstallerButtonInstallNow).m_isHover);
}

TEST_F(UIInputTest, WelcomeScreenTakesTheAppButtonInstallNowAndLicenceOnly) {
  AnswerAll(kLCInstallerMBResultNo);
  Click(600, 60);  // where the close button is drawn later
  for (int dot = 0; dot < 7; ++dot) Click(395 + 14 * dot, 548);
  EXPECT_TRUE(PingLog::Get().Pings().empty());
  EXPECT_EQ(0, m_core->GetSlideIndex());

  Click(440, 460);
  EXPECT_EQ(std::vector<std::string>{"EULAClicked"}, PingLog::Get().Names());
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls(std::string("OpenURL http://") + kCLVWebHost + "/go/CLV11LicTerms"));

  Click(400, 400);
  EXPECT_FALSE(m_core->IsWaitingOnInstallButtonClick());
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls("BreakEventProcessingLoop"));
}

TEST_F(UIInputTest, DuringTheInstallationTheAppButtonMinimizesAndTheCloseButtonAsks) {
  m_core->OnInstallBegin();
  m_core->MaximizeUI();
  PingLog::Get().Clear();
  Click(400, 400);  // install now is no longer there
  Click(440, 460);  // nor the licence link
  EXPECT_TRUE(PingLog::Get().Pings().empty());

  Click(15, 10);
  EXPECT_EQ(std::vector<std::string>{"AppMinimizeClick"}, PingLog::Get().Names());
  EXPECT_TRUE(m_core->GetTrayHelper().IsInTray());
  EXPECT_TRUE(LCInstallerUIHeadless::GetMessageBoxes().empty());

  // The box comes up on the click; behind it the button is drawn released.
  bool pressedBehindTheBox = true;
  LCInstallerUIHeadless::SetMessageBoxScript([&](const LCHeadlessMessageBox&) {
    pressedBehindTheBox = m_core->GetObject(kLCInstallerButtonClose).m_isPressed;
    return kLCInstallerMBResultNo;
  });
  Click(603, 64);
  EXPECT_FALSE(pressedBehindTheBox);
  EXPECT_EQ((std::vector<std::string>{"AppMinimizeClick", "InstallCancelClick"}), PingLog::Get().Names());
  EXPECT_EQ(1u, LCInstallerUIHeadless::GetMessageBoxes().size());
  EXPECT_EQ(0, LCInstallerUIHeadless::CountCalls("PostAppQuitMessage"));
}

TEST_F(UIInputTest, ConfirmedCloseOnTheWelcomeScreenQuits) {
  AnswerAll(kLCInstallerMBResultYes);
  Click(11, 5);
  EXPECT_TRUE(m_core->IsExitRequested());
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls("PostAppQuitMessage"));
}

TEST_F(UIInputTest, KeysMoveTheFocusOverTheShownControlsAndPressThem) {
  AnswerAll(kLCInstallerMBResultNo);
  // Space with nothing focused does nothing; Tab starts at Install now and
  // wraps; Shift-Tab goes back.
  EXPECT_FALSE(m_core->OnKey(kLCInstallerKeySpace));
  m_core->OnKey(kLCInstallerKeyTab);
  EXPECT_EQ(kLCInstallerButtonInstallNow, m_core->GetFocusedId());
  m_core->OnKey(kLCInstallerKeyTab);
  m_core->OnKey(kLCInstallerKeyTab);
  EXPECT_EQ(kLCInstallerButtonApp, m_core->GetFocusedId());
  m_core->OnKey(kLCInstallerKeyTab);
  EXPECT_EQ(kLCInstallerButtonInstallNow, m_core->GetFocusedId());
  m_core->OnKey(kLCInstallerKeyBackTab);
  EXPECT_EQ(kLCInstallerButtonApp, m_core->GetFocusedId());
  const std::vector<LCUIControl> controls = m_core->GetControls();
  ASSERT_EQ(3u, controls.size());
  EXPECT_EQ(kLCInstallerRoleLink, controls[1].m_role);
  EXPECT_TRUE(controls[2].m_focused);
  // Space presses the focused control (the window's close asks), Escape is
  // the close button; neither quits when the answer is No.
  m_core->OnKey(kLCInstallerKeySpace);
  m_core->OnKey(kLCInstallerKeyEscape);
  EXPECT_EQ(2u, LCInstallerUIHeadless::GetMessageBoxes().size());
  EXPECT_TRUE(m_core->IsWaitingOnInstallButtonClick());

  // A control that is no longer shown keeps no focus: during the
  // installation Return alone presses nothing.
  m_core->OnKey(kLCInstallerKeyTab);
  m_core->OnInstallBegin();
  EXPECT_FALSE(m_core->OnKey(kLCInstallerKeyReturn));
  EXPECT_TRUE(m_core->IsWaitingOnInstallButtonClick());
}

TEST_F(UIInputTest, ReturnOnTheWelcomeScreenInstalls) {
  m_core->OnKey(kLCInstallerKeyTab);
  EXPECT_TRUE(m_core->OnKey(kLCInstallerKeyReturn));
  EXPECT_FALSE(m_core->IsWaitingOnInstallButtonClick());
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls("BreakEventProcessingLoop"));
  // The ring leaves with the click, over the connection check, until Tab.
  m_core->RenderUI();
  EXPECT_EQ(-1, m_core->GetFocusedId());
  m_core->OnKey(kLCInstallerKeyTab);
  EXPECT_EQ(kLCInstallerButtonInstallNow, m_core->GetFocusedId());
}

TEST_F(UIInputTest, CloseRequestQuitsAtOnceBeforeTheClickAndAsksWithNoAsDefaultDuringTheInstallation) {
  AnswerAll(kLCInstallerMBResultNo);
  m_core->OnInstallBegin();
  m_core->OnWindowCloseRequest();
  ASSERT_EQ(1u, LCInstallerUIHeadless::GetMessageBoxes().size());
  EXPECT_EQ(kLCInstallerMBDefaultButton2, LCInstallerUIHeadless::GetMessageBoxes()[0].m_defaultButton);
  EXPECT_FALSE(m_core->IsExitRequested());

  LCInstallerUIHeadless::Reset();
  m_core.reset(new LCInstallerUICore(LCInstallerUICoreInitParams()));
  m_core->CreateUI();
  m_core->OnWindowCloseRequest();
  EXPECT_TRUE(LCInstallerUIHeadless::GetMessageBoxes().empty());
  EXPECT_TRUE(m_core->IsExitRequested());
  EXPECT_EQ(1, LCInstallerUIHeadless::CountCalls("PostAppQuitMessage"));
}

TEST_F(UIInputTest, DotClickShowsItsSlideAtOnce) {
  m_core->OnInstallBegin();
  Click(393 + 14 * 3 + 6, 552);  // the fourth dot's bottom-right corner
  EXPECT_EQ(4, m_core->GetSlideIndex());
  EXPECT_FALSE(m_core->GetObject(kLCInstallerButtonSlide4).m_isPressed);
}

TEST_F(UIInputTest, TrayClickRestoresTheWindowFromTheUITimer) {
  m_core->OnInstallBegin();
  ASSERT_TRUE(m_core->GetTrayHelper().IsInTray());
  PingLog::Get().Clear();
  LCInstallerSystemTrayHelper::SystemTrayHelperCallback(m_core->GetTrayHelper(), kSystemTrayActionClick);
  EXPECT_TRUE(m_core->GetTrayHelper().IsInTray());  // not inside the press itself
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (m_core->GetTrayHelper().IsInTray() && std::chrono::steady_clock::now() < deadline) {
    KWMainRunLoop::Get().RunPending();
    std::this_thread::yield();
  }
  EXPECT_FALSE(m_core->GetTrayHelper().IsInTray());
  EXPECT_EQ(std::vector<std::string>{"AppMaximizeClick"}, PingLog::Get().Names());
  EXPECT_TRUE(LCInstallerUIHeadless::IsWindowVisible());
}

TEST_F(UIInputTest, InputWhileTheServiceSwitchesTheActiveObjects) {
  std::thread service([&] { m_core->OnInstallBegin(); });
  for (int i = 0; i < 2000; ++i) {
    m_core->OnMouseMove(i % 868, 546);
    m_core->OnLButtonDown(1000, 1000);
    m_core->OnLButtonUp(1000, 1000);
  }
  service.join();
  EXPECT_EQ((std::vector<LCInstallerButtonId>{3, 2, 4, 5, 6, 7, 8, 9, 10}), m_core->GetActiveObjectIds());
}

}  // namespace
