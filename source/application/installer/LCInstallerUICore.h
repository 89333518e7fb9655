// LCInstallerUICore: the installer window's logic without the window. It
// receives the service's stage events, keeps the state the frame is drawn
// from, turns pointer input into button actions and coordinates quitting.
//
//   LCInstallerUICore ui(params);
//   ui.CreateUI();                                   // state 1, timer running
//   ui.RunEventLoop(ui.IsWaitingOnInstallButtonClick());
//   ...                                              // service drives OnInstallBegin ... OnInstallDone
//
// One class, several files: the shared members are in LCInstallerUICore.cpp
// (states, stage events, messages, quitting), LCInstallerUIRender.cpp (the
// frame) and LCInstallerUIInput.cpp (pointer input and buttons). The members
// under "Windowing layer" are defined once per windowing system:
// MLCInstallerUICore.mm and appkit/ in the app, headless/LCInstallerUICore_headless.cpp
// for tests and tools.
#pragma once

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "ILCInstallerUIInterface.h"
#include "KWThread.h"
#include "KWTimer.h"
#include "LCBGRAImage.h"
#include "LCDownloadEstimate.h"
#include "LCInstallerSystemTrayHelper.h"
#include "LCInstallerUIClock.h"
#include "LCInstallerUITypes.h"

class LCInstallerUICore : public ILCInstallerUIInterface {
 public:
  explicit LCInstallerUICore(const LCInstallerUICoreInitParams& params);
  ~LCInstallerUICore();
  LCInstallerUICore(const LCInstallerUICore&) = delete;
  LCInstallerUICore& operator=(const LCInstallerUICore&) = delete;

  // ILCInstallerUIInterface. Called on the service thread, except
  // OnDownloadProgress (download part threads, several at once) and OnExit
  // (main thread).
  void OnInstallBegin() override;
  void OnInstallDone() override;
  void OnHandshakeBegin() override;
  void OnHandshakeDone(int attempts) override;
  void OnDownloadBegin() override;
  bool OnDownloadProgress(int percent) override;
  void OnDownloadSize(uint64_t totalBytes) override;
  void OnDownloadBytes(uint64_t bytesDone) override;
  void OnDownloadDone(int attempts) override;
  void OnExtractBegin() override;
  void OnExtractDone() override;
  void OnSetupBegin() override;
  void OnSetupDone() override;
  void OnAppLaunchBegin() override;
  void OnAppLaunchDone() override;
  void OnError(LCInstallerErrorEnum code) override;
  void OnExit() override;
  bool IsValidInstallAttempt() override;
  KWAbortFlag& IsExitRequested() override { return m_exitRequested; }
  LCInstallerStateEnum GetState() override { return m_state; }
  KWString GetProcessPath() override;
  KWPath GetCACertPath() override { return m_caCertPath; }

  const std::atomic<bool>& IsWaitingOnInstallButtonClick() const { return m_waitingOnInstallButtonClick; }
  KWCondition& GetInstallCompleteCondition() { return m_installCompleteCondition; }
  KWMutex& GetInstallCompleteMutex() { return m_installCompleteMutex; }
  // Hides the window to the menu bar.
  void MinimizeUI();
  // Brings the window back from the menu bar.
  void MaximizeUI();
  // Asks whether to cancel; on Yes stops everything and, during an
  // installation, returns only after the service has called OnInstallDone.
  // True when the program is to quit. Main thread.
  bool OnAppClose();
  // The quit path of a Yes to that question, without asking. Main thread.
  void QuitInstallation();
  // The window system asks the window to close (a taskbar's Close, a
  // logout): before the install-now click the installer quits at once,
  // during an installation it asks. Ignored while a box is up. Main thread.
  void OnWindowCloseRequest();
  // The quit path when the display is gone: nothing of the window, its boxes
  // or the tray is touched, and no lock is waited for. Stops the service and
  // waits up to the deadline for it to end (its image detached), stops
  // analytics and removes the session's files. False when the service did not
  // end in time. Any thread, also one inside QuitInstallation.
  bool QuitWithoutDisplay(unsigned int serviceDeadlineMilliseconds);
  // SIGTERM, SIGINT and SIGHUP take the quit path: the handler only notes
  // the signal; a main-thread timer of the core acts on it. A second signal
  // of the same kind ends the process at once.
  static void InstallQuitSignalHandlers();
  // The quit signal noted since the last call, 0 if none; for a window layer
  // that shows a box before the core's timer runs. Any thread.
  static int TakeQuitSignal();
  // Asked on the core's quit-watch timer: when it says another installer
  // wanted this one, the window (or the tray's) comes forward. Set before
  // CreateUI; main thread.
  static void SetComeForwardCheck(std::function<bool()> check);

  // Rendering (main thread). RenderUI recomposes the frame from the assets
  // when anything visible changed since the last frame, and says whether it did.
  bool RenderUI();
  const LCBGRAImage& GetRenderedUI() const { return m_renderedUI; }
  // How soon the frame may change on its own (an animation, the slideshow),
  // in milliseconds: 0 for the next tick, -1 when only input can change it.
  int GetMillisecondsToNextChange() const;
  // The windowing layer fills the assets once, before the window exists.
  void SetAssets(LCUIAssets assets);
  const LCUIAssets& GetAssets() const { return m_assets; }
  // Pixels per point of the screen the window is on: 1, or 2 for a frame of
  // 1736 x 1184 drawn from the "@2x" pictures and shown at 868 x 592 points.
  // Pointer input stays in points. Set before the assets are loaded.
  void SetRenderScale(int scale) {
    m_renderScale = scale == 2 ? 2 : 1;
    m_lastFrameValid = false;
  }
  int GetRenderScale() const { return m_renderScale; }

  // Pointer input in frame coordinates (main thread).
  void OnLButtonDown(int x, int y);
  void OnLButtonUp(int x, int y);
  void OnMouseMove(int x, int y);
  void OnMouseOver(LCInstallerButtonId id);
  void OnMouseOut(LCInstallerButtonId id);
  void OnMouseDown(LCInstallerButtonId id);
  void OnMouseUp(LCInstallerButtonId id);
  void OnMouseClick(LCInstallerButtonId id);
  // Ends the first event loop once, when the core waits for the install-now click.
  void OnInstallNowButtonClick();
  // A key on the window (main thread). True when the core acted on it.
  bool OnKey(LCInstallerKey key);
  // The controls the window shows now, in focus order.
  std::vector<LCUIControl> GetControls() const;
  LCInstallerButtonId GetFocusedId() const { return m_focusedId; }

  // Read-outs for the windowing layer and tests.
  const LCUIObject& GetObject(LCInstallerButtonId id) const;
  std::vector<LCInstallerButtonId> GetActiveObjectIds() const;
  int GetSlideIndex() const { return m_slideIndex; }
  int GetProgress() const { return m_progress; }
  // Where the progress bar is drawn, in points.
  LCRect GetProgressBarRect() const;
  // The download's figures as the window shows them: "47 %  ·  12.2 of
  // 26.0 MB  ·  15 s left" (the parts not yet known left out). Any thread.
  std::string GetProgressText();
  // While downloading, whether the download waits for the network: no byte
  // for a few seconds (kNetworkWaiting), and also the last connection check
  // failed (kNetworkDown). Any thread.
  enum NetworkWait { kNetworkFlowing, kNetworkWaiting, kNetworkDown };
  NetworkWait GetNetworkWait();
  // A message box is up: the frame gets the disabled mask.
  bool IsUIDisabled() const { return m_openBoxes > 0; }
  bool IsDragging() const { return m_isDragging; }
  LCInstallerSystemTrayHelper& GetTrayHelper() { return m_trayHelper; }

  // Windowing layer: defined per windowing system.
  // Settings the windowing system reads when it starts; called once by main
  // before the core exists.
  static void PrepareWindowSystem();
  int CreateUI();
  void LoadUIAssets();
  // Fills m_assets from the folder's pictures in their fixed order, decoding
  // them with the windowing layer's decoder, and points m_caCertPath at the
  // folder's "cacert.pem". Called by LoadUIAssets.
  void LoadAssetsFromFolder(const KWPath& folder, LCEncodedImage::Decoder decoder);
  int RunEventLoop(const std::atomic<bool>& waitingOnInstallButtonClick);
  // Makes the running event loop return soon; callable from any thread.
  static void BreakEventProcessingLoop();
  void OnPlatformExit();
  void PostAppQuitMessage();
  void HideUI();
  // Modal; blocks the calling thread (main or service) until answered.
  static LCInstallerMBResult ShowMessageBox(const KWString& title, const KWString& message, LCInstallerMBType type,
                                            LCInstallerMBDefaultButton defaultButton);
  void PlatformDoMouseCapture();
  void PlatformReleaseMouseCapture();
  LCInstallerWindowRef PlatformGetMouseCapture();
  // Moves the window right by dx and down by dy and repaints it at once.
  void PlatformMoveWindowBy(int dx, int dy);
  // Opens the address in the user's browser.
  void PlatformOpenURL(const KWString& url);

  static LCInstallerWindowRef m_window;

 private:
  void SetState(LCInstallerStateEnum state) { m_state = state; }
  void SetActiveObjects(const std::vector<LCUIObject*>& objects);
  std::vector<LCUIObject*> GetActiveObjectsSnapshot() const;
  // The download's figures over the progress bar, and the connection check
  // on the welcome screen. Parts of RenderUI.
  void DrawDownloadFigures(const std::string& text);
  void DrawConnectionCheck(int animation);
  // Holds the shown slide decoded, and the next one while the slideshow
  // runs (decoded a tick after the shown one); lets every other go.
  void KeepSlidesAround(int shown, bool showRuns);
  // The welcome screen: state 1 with its three active objects. Called by CreateUI.
  void EnterWelcomeScreen();
  // Shared by every windowing layer's CreateUI: starts the 67 ms UI timer
  // with the layer's tick (its data is the core) and shows the welcome screen.
  void StartUIAndWelcomeScreen(KWTimerCallback tick);
  static void OnQuitSignal(int signalNumber);
  static void QuitWatchTick(KWTimerID, void* data);
  LCUIObject& ObjectById(LCInstallerButtonId id);
  int LookIndex(const LCUIObject& object) const;
  // The focused control when it is still shown, else -1.
  LCInstallerButtonId FocusedActiveId() const;
  void MoveFocus(int step);
  // Outlines the focused control in the frame.
  void DrawFocusRing(LCInstallerButtonId id);

  LCAtomicTime m_animationStartTime;
  LCInstallerUICoreInitParams m_initParams;
  std::atomic<LCInstallerStateEnum> m_state{kLCInstallerStateNone};
  bool m_progressReported[100];   // guarded by m_progressMutex
  LCDownloadEstimate m_estimate;  // guarded by m_progressMutex
  uint64_t m_bytesDone = 0;       // guarded by m_progressMutex
  std::atomic<int> m_progress{0};
  LCAtomicTime m_lastProgressChangeTime;
  // The last connection probe of a stalled download and its answer.
  boost::posix_time::ptime m_lastProbeTime;  // guarded by m_progressMutex
  std::atomic<bool> m_lastProbeConnected{true};
  KWAbortFlag m_exitRequested{false};
  std::atomic<bool> m_retryRequested{false};
  std::atomic<bool> m_waitingOnInstallButtonClick{true};
  // Boxes up now (an error box and the quit question can stack).
  std::atomic<int> m_openBoxes{0};
  std::atomic<int> m_slideIndex{0};
  LCAtomicTime m_slideStartTime;
  std::atomic<bool> m_slideChosenByUser{false};
  LCUIAssets m_assets;
  LCUIObject m_installNowButton;
  LCUIObject m_eulaButton;
  LCUIObject m_closeButton;
  LCUIObject m_appButton;
  std::vector<LCUIObject> m_slideDots;
  // Replaced by OnInstallBegin on the service thread while the input
  // handlers walk it on the main thread; they walk a copy taken under the lock.
  std::vector<LCUIObject*> m_activeObjects;  // guarded by m_activeObjectsMutex
  mutable std::mutex m_activeObjectsMutex;
  LCBGRAImage m_renderedUI;
  KWPath m_caCertPath;
  KWCondition m_installCompleteCondition;
  KWMutex m_installCompleteMutex;
  LCInstallerSystemTrayHelper m_trayHelper;
  bool m_isDragging = false;
  // The control that Space and Return act on; -1 when none. Main thread.
  LCInstallerButtonId m_focusedId = -1;
  int m_dragStartX = 0;
  int m_dragStartY = 0;
  // Makes the percentage test-and-set and the progress with its time stamp one step.
  std::mutex m_progressMutex;
  // What the last frame was composed from; RenderUI skips a frame that would
  // come out the same. Main thread.
  struct FrameInputs {
    int state = -1;
    int slide = -1;
    int progress = -1;        // only while the bar is drawn
    int animation = -1;       // busy-animation picture, only while it is drawn
    bool connecting = false;  // the connection check before the installation begins
    std::string figures;      // the download's figures, only while they are drawn
    unsigned looks = 0;       // hover and pressed flags of every control
    int focus = -1;
    bool disabled = false;
    int networkWait = 0;  // a NetworkWait, while downloading
    bool operator==(const FrameInputs& o) const {
      return state == o.state && slide == o.slide && progress == o.progress && animation == o.animation &&
             looks == o.looks && focus == o.focus && disabled == o.disabled && connecting == o.connecting &&
             figures == o.figures && networkWait == o.networkWait;
    }
  };
  FrameInputs m_lastFrame;
  bool m_lastFrameValid = false;
  int m_renderScale = 1;  // main thread
  // The frame timer that CreateUI starts; OnInstallDone kills it on the service thread.
  std::atomic<KWTimerID> m_uiTimerID{0};
  // The last quit signal not yet acted on; 0 when none. Written by the
  // signal handler.
  static std::atomic<int> ms_quitSignal;
  static std::function<bool()> ms_comeForwardCheck;  // main thread
};
