#include "KWFileUtil.h"
#include "LCInstallerService.h"

// Linux has no hdiutil: the bundle ships a stand-in with the same command
// lines beside the installer's executable.
KWString LCInstallerService::GetDiskImageToolPath() {
  return KWFileUtil::GetExecutableFile()
      .GetParentKWPath()
      .Append("hdiutil", KWPath::kKWPathKindFile)
      .GetPathAsKWString();
}
