#include "OstrelAFL/AFile.h"

#include "KWFileUtil.h"

namespace ostrel {
namespace afl {

AFile AFile::GetParentPath() const {
  return AFile(KWPath(KWString(m_path)).GetParentKWPath().GetPathAsKWString().GetUTF8String());
}

bool AFile::MakeDirectory() const {
  return !m_path.empty() && KWFileUtil::CreateDirectory(KWPath(KWString(m_path)), true);
}

}  // namespace afl
}  // namespace ostrel
