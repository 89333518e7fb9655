#include "KWApplicationLaunchUtil.h"
#include "KWLogger.h"
#include "LCProductLauncher.h"

int LCLaunchInstalledProduct(const KWString& program, const std::vector<KWString>& arguments) {
  int exitCode = 0;
  const KWString bundle = LCApplicationBundleOf(program);
  if (bundle.empty()) {
    return KWApplicationLaunchUtil::LaunchApplication(program, arguments, exitCode,
                                                      KWApplicationLaunchUtil::kKWLaunchNoWait, false);
  }
  // open returns once LaunchServices has started the application (or failed
  // to), so waiting for it is short and its exit code says which.
  const int result =
      KWApplicationLaunchUtil::LaunchApplication("/usr/bin/open", LCLaunchServicesArguments(bundle, arguments),
                                                 exitCode, KWApplicationLaunchUtil::kKWLaunchWait, false);
  if (result != 0) return result;
  if (exitCode != 0) {
    KWLOG("launch: open -n -a %s exited with %d", bundle.c_str(), exitCode);
    return exitCode;
  }
  return 0;
}
