// LCKeepAwake: keeps the Mac from idle sleep and App Nap while the installer
// works, from the download's start to the end of the installation.
//
//   LCKeepAwake::Get().Begin();   // the download starts
//   ...
//   LCKeepAwake::Get().End();     // an error box, a quit, the end
//
// Begin and End may each be called again without harm; End without Begin
// does nothing. Any thread.
#pragma once

class LCKeepAwake {
 public:
  virtual ~LCKeepAwake() = default;
  virtual void Begin() = 0;
  virtual void End() = 0;

  // The one in use: the platform's (macOS: an activity and a power
  // assertion; elsewhere nothing), or the one a test set.
  static LCKeepAwake& Get();
  // Null goes back to the platform's.
  static void SetForTesting(LCKeepAwake* keepAwake);
};

// The platform's own, one per process; defined once per platform.
LCKeepAwake& LCPlatformKeepAwake();
