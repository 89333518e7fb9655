// Starting other programs. Children start with only descriptors 0 to 2
// open: nothing of the installer's (sockets, the log, part files) leaks
// into a setup program or the product it leaves running. Their standard input
// is /dev/null, their signals have the default dispositions and none is
// blocked, and once KeepStartEnvironment has run they get the environment
// the process was started with.
//
//   int exitCode = 0;
//   int result = KWApplicationLaunchUtil::LaunchApplication(
//       "/usr/bin/hdiutil", {"detach", mountPath}, exitCode,
//       KWApplicationLaunchUtil::kKWLaunchWait, false);
#pragma once

#include <atomic>
#include <string>
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

  // What RunAndWait adds to a waiting launch.
  struct KWWaitOptions {
    // When set during the wait, the child's whole process group is ended
    // (SIGTERM, SIGKILL after a grace period) and RunAndWait returns
    // ECANCELED. The child then leads a process group of its own.
    const std::atomic<bool>* m_cancel = nullptr;
    // Receives the child's standard output (at most kMaxCapturedOutput bytes).
    std::string* m_output = nullptr;
    // Receives the child's standard error (at most kMaxCapturedOutput bytes).
    std::string* m_errors = nullptr;
  };
  // Takes a copy of the environment for every later child. Called first thing
  // in main, before the process changes its own environment or starts a thread.
  static void KeepStartEnvironment();

  static constexpr size_t kMaxCapturedOutput = 64 * 1024;
  // LaunchApplication with kKWLaunchWait and the options above.
  static int RunAndWait(const KWString& program, const std::vector<KWString>& arguments, int& exitCode,
                        bool silenceOutput, const KWWaitOptions& options);
};
