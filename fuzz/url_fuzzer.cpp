// Splits arbitrary text as a download URL into host and resource.
#include <cstddef>
#include <cstdint>

#include "KWLCCloudUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const KWString url(reinterpret_cast<const char*>(data), size);
  const KWString host = KWLCCloudUtils::GetHostURL(url);
  const KWString resource = KWLCCloudUtils::GetResourceURL(url);
  // Neither part is longer than the URL, and a resource always starts at a slash.
  if (host.size() > url.size() || resource.size() > url.size()) __builtin_trap();
  if (!resource.empty() && resource[0] != '/') __builtin_trap();
  return 0;
}
