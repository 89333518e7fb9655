// Values shared by the installer's service, user interface and analytics.
#pragma once

// Installer version 1.0.0.0.
const int kLCInstallerVersionMajor = 1;
const int kLCInstallerVersionMinor = 0;
const int kLCInstallerVersionRevision = 0;
const int kLCInstallerVersionBuild = 0;

// Product version 11.0.
const int kCLVVersionMajor = 11;
const int kCLVVersionMinor = 0;

// The ordered stages of an installation; the service skips stages whose done
// state the UI has already reached.
typedef int LCInstallerStateEnum;
enum {
  kLCInstallerStateNone = 0,
  kLCInstallerStateWaitingForInstall = 1,
  kLCInstallerStateInstallBegun = 2,
  kLCInstallerStateHandshaking = 3,
  kLCInstallerStateHandshakeDone = 4,
  kLCInstallerStateDownloading = 5,
  kLCInstallerStateDownloadDone = 6,
  kLCInstallerStateExtracting = 7,
  kLCInstallerStateExtractDone = 8,
  kLCInstallerStateSettingUp = 9,
  kLCInstallerStateSetupDone = 10,
  kLCInstallerStateLaunching = 11,
  kLCInstallerStateLaunchDone = 12,
  kLCInstallerStateInstallDone = 13,
};

// Error codes. The setup program's own non-zero exit codes pass through too.
typedef int LCInstallerErrorEnum;
enum {
  kLCInstallerErrorOSNotSupported = 9,
  // The setup program's code for too little disk space; the installer uses
  // it too, so that the user sees the same message with Retry.
  kLCInstallerErrorNotEnoughDiskSpace = 30,
  // The setup program's code for a product already installed; the installer
  // says it before the download when it sees the release there itself.
  kLCInstallerErrorAlreadyInstalled = 32,
  kLCInstallerErrorNoNetwork = 9000,
  kLCInstallerErrorHandshakeFailed = 9001,
  kLCInstallerErrorDownloadFailed = 9002,
  kLCInstallerErrorSetupFolderMissing = 9003,
  kLCInstallerErrorSetupLaunchFailed = 9004,
  kLCInstallerErrorAppLaunchFailed = 9005,
  kLCInstallerErrorAnotherInstance = 9006,
  // A handshake reply that arrived but was refused: its signature, its build
  // or its expiry. 9008 when it expired and the local clock looks wrong.
  kLCInstallerErrorNotVerified = 9007,
  kLCInstallerErrorNotVerifiedClock = 9008,
  // The image could not be written for another reason than a full disk.
  kLCInstallerErrorNotSaved = 9009,
};

// Message boxes.
typedef int LCInstallerMBType;
enum {
  kLCInstallerMBTypeOK = 1,
  kLCInstallerMBTypeOKCancel = 2,
  kLCInstallerMBTypeYesNo = 3,
  kLCInstallerMBTypeRetryCancel = 4,
};
typedef int LCInstallerMBDefaultButton;
enum {
  kLCInstallerMBDefaultButton1 = 1,
  kLCInstallerMBDefaultButton2 = 2,
};
typedef int LCInstallerMBResult;
enum {
  kLCInstallerMBResultOK = 1,
  kLCInstallerMBResultCancel = 2,
  kLCInstallerMBResultRetry = 4,
  kLCInstallerMBResultYes = 6,
  kLCInstallerMBResultNo = 7,
};

// The answer that changes nothing, for a box nobody can answer: Cancel where
// there is a Cancel button, No for Yes/No, OK otherwise.
inline LCInstallerMBResult LCNeutralMessageBoxAnswer(LCInstallerMBType type) {
  switch (type) {
    case kLCInstallerMBTypeOKCancel:
    case kLCInstallerMBTypeRetryCancel:
      return kLCInstallerMBResultCancel;
    case kLCInstallerMBTypeYesNo:
      return kLCInstallerMBResultNo;
    default:
      return kLCInstallerMBResultOK;
  }
}
