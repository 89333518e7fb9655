// A message box as the headless layer records it, and the script that answers it.
#pragma once

#include <functional>

#include "KWString.h"
#include "LCInstallerDefines.h"

struct LCHeadlessMessageBox {
  KWString m_title;
  KWString m_message;
  LCInstallerMBType m_type = kLCInstallerMBTypeOK;
  LCInstallerMBDefaultButton m_defaultButton = kLCInstallerMBDefaultButton1;
};

// Runs on the thread that asked for the box and may block it.
typedef std::function<LCInstallerMBResult(const LCHeadlessMessageBox&)> LCHeadlessMessageBoxScript;
