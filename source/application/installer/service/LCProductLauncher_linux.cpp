#include "KWApplicationLaunchUtil.h"
#include "LCProductLauncher.h"

int LCLaunchInstalledProduct(const KWString& program, const std::vector<KWString>& arguments) {
  int exitCode = 0;
  return KWApplicationLaunchUtil::LaunchApplication(program, arguments, exitCode,
                                                    KWApplicationLaunchUtil::kKWLaunchNoWait, false);
}
