#include "LCInstalledProduct.h"

#include <fstream>
#include <iterator>

#include "LCProductLauncher.h"

namespace {

// An Info.plist is a few kilobytes; a larger file is not read whole.
const std::streamoff kMaxInfoPlistBytes = 1024 * 1024;

}  // namespace

namespace LCInstalledProduct {

std::string BuildAt(const KWString& launchPath) {
  const KWString bundle = LCApplicationBundleOf(launchPath);
  if (bundle.empty()) return std::string();
  std::ifstream in(bundle.GetUTF8String() + "/Contents/Info.plist", std::ios::binary);
  if (!in) return std::string();
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0 || size > kMaxInfoPlistBytes) return std::string();
  in.seekg(0, std::ios::beg);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return BundleVersionOf(bytes);
}

}  // namespace LCInstalledProduct
