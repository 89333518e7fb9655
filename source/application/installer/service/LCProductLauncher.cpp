#include "LCProductLauncher.h"

#include <string>

KWString LCApplicationBundleOf(const KWString& program) {
  std::string path = program.GetUTF8String();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::string suffix = ".app";
  if (path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
    return KWString(path);
  const std::string inner = ".app/Contents/MacOS/";
  const size_t at = path.rfind(inner);
  // Only the bundle's own executable: a deeper path is some helper inside it.
  if (at == std::string::npos || path.find('/', at + inner.size()) != std::string::npos ||
      at + inner.size() == path.size())
    return KWString();
  return KWString(path.substr(0, at + suffix.size()));
}

std::vector<KWString> LCLaunchServicesArguments(const KWString& bundle, const std::vector<KWString>& arguments) {
  // -n: a new instance even if one runs already; --args: the rest goes to the
  // application, not to open.
  std::vector<KWString> result = {"-n", "-a", bundle};
  if (!arguments.empty()) {
    result.push_back("--args");
    result.insert(result.end(), arguments.begin(), arguments.end());
  }
  return result;
}
