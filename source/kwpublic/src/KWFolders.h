// The parts of the folder lookup that differ between systems.
#pragma once

#include "KWPath.h"

namespace KWFolders {
KWPath UserApplicationDataFolder();
KWPath UserPreferenceFolder(const KWString& name);
KWPath UserCacheFolder(const KWString& name);
KWPath ExecutableFile();
KWString HomeFolder();
}  // namespace KWFolders
