#include "LCInstallerService.h"

KWString LCInstallerService::GetDiskImageToolPath() { return "/usr/bin/hdiutil"; }
