// LCInstalledProduct: which build of the product the launch path already
// holds, read from the application bundle's Info.plist (CFBundleVersion),
// so that a release already installed is not downloaded again.
//
//   const std::string installed = LCInstalledProduct::BuildAt(launchPath);  // "" when none
#pragma once

#include <string>

#include "KWString.h"

namespace LCInstalledProduct {

// The CFBundleVersion of the bundle that launchPath is or whose
// Contents/MacOS holds it; empty when there is no bundle, no readable
// Contents/Info.plist, or no such string in it.
std::string BuildAt(const KWString& launchPath);

// The CFBundleVersion string at the top of a property list (XML or binary);
// empty when the bytes are no property list or it has none. Per platform:
// CoreFoundation on macOS, libplist elsewhere.
std::string BundleVersionOf(const std::string& propertyList);

}  // namespace LCInstalledProduct
