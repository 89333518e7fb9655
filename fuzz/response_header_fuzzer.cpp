// Feeds arbitrary reply text to the header readers the size query and the
// part check rely on: whatever a server sends, they must neither crash nor
// read outside the text.
#include <cstddef>
#include <cstdint>

#include "KWLCCloudUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const KWString text(reinterpret_cast<const char*>(data), size);
  const int offset = size > 0 ? data[0] % 8 : 0;
  const std::vector<KWString> lines = KWLCCloudUtils::GetResponseHeaders(text, offset);
  const KWString exact = KWLCCloudUtils::GetResponseHeader(kContentLengthHTTPHeader, lines);
  const KWString anyCase = KWLCCloudUtils::GetResponseHeaderIgnoringCase(kContentLengthHTTPHeader, lines);
  // Whatever matches exactly also matches without regard to case.
  if (!exact.empty() && anyCase.empty()) __builtin_trap();
  exact.GetUInt64Value();
  uint64_t first = 0, last = 0, total = 0;
  for (const KWString& line : lines) {
    if (KWLCCloudUtils::ParseContentRange(line, first, last, total) && (last < first || (total && last >= total))) {
      __builtin_trap();
    }
  }
  return 0;
}
