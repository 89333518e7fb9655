// Starting other programs.
//
//   int exitCode = 0;
//   int result = KWApplicationLaunchUtil::LaunchApplication(
//       "/usr/bin/hdiutil", {"detach", mountPath}, exitCode,
//       KWApplicationLaunchUtil::kKWLaunchWait, false);
#pragma once

#include <vector>

#include "KWString.h"

class KWApplicationLaunchUtil {
 public:
  enum {
    kKWLaunchNoWait = 0,  // start and return; the child is reaped when it ends
    kKWLaunchWait = 2,    // wait for the end and report the exit code
  };

  // Starts the program with the arguments exactly as given (no shell). An
  // application bundle (a "NAME.app" folder) starts its main executable.
  // Returns 0 when the program started, otherwise an errno value. With
  // kKWLaunchWait, exitCode receives the exit status, or 128 plus the signal
  // number for a child killed by a signal. With silenceOutput the child's
  // standard output and error go to /dev/null.
  static int LaunchApplication(const KWString& program, const std::vector<KWString>& arguments, int& exitCode,
                               int waitPolicy, bool silenceOutput);
};
