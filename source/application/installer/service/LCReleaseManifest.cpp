#include "LCReleaseManifest.h"

#include <algorithm>
#include <vector>

namespace {

const char* const kVersionLine = "clipvane-release-v2\n";

bool HasControlBytes(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

// The parts of a dotted decimal number without their leading zeros; false
// for anything else ("", "1.", ".1", "1..2", "v1", "1.-2").
bool SplitBuildNumber(const std::string& text, std::vector<std::string>& parts) {
  parts.clear();
  std::string part;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (part.empty()) return false;
      const size_t first = part.find_first_not_of('0');
      parts.push_back(first == std::string::npos ? std::string() : part.substr(first));
      part.clear();
    } else if (text[i] >= '0' && text[i] <= '9') {
      part += text[i];
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool LCReleaseManifest::Canonical(std::string& bytes, std::string& why) const {
  const bool lowerHex = m_sha256.size() == 64 && m_sha256.find_first_not_of("0123456789abcdef") == std::string::npos;
  if (!lowerHex) {
    why = "sha256 is not 64 lower-case hex digits";
    return false;
  }
  if (m_sizeBytes == 0) {
    why = "no image size";
    return false;
  }
  if (m_buildNumber.empty() || HasControlBytes(m_buildNumber)) {
    why = "the build number is empty or holds control bytes";
    return false;
  }
  if (m_launchPath.empty() || m_launchPath[0] != '/' || HasControlBytes(m_launchPath)) {
    why = "the launch path is not absolute or holds control bytes";
    return false;
  }
  if (m_expiresUTCSeconds == 0) {
    why = "no expiry (a release without one never expires and is not accepted)";
    return false;
  }
  bytes = std::string(kVersionLine) + "sha256=" + m_sha256 + "\nsize=" + std::to_string(m_sizeBytes) +
          "\nbuild=" + m_buildNumber + "\nlaunch_path=" + m_launchPath +
          "\nexpires=" + std::to_string(m_expiresUTCSeconds) + "\n";
  return true;
}

bool LCReleaseManifest::CompareBuildNumbers(const std::string& a, const std::string& b, int& order) {
  std::vector<std::string> left, right;
  if (!SplitBuildNumber(a, left) || !SplitBuildNumber(b, right)) return false;
  const size_t count = std::max(left.size(), right.size());
  left.resize(count);
  right.resize(count);
  for (size_t i = 0; i < count; ++i) {
    // Without leading zeros, the longer number is the larger one.
    if (left[i].size() != right[i].size()) {
      order = left[i].size() < right[i].size() ? -1 : 1;
      return true;
    }
    const int compared = left[i].compare(right[i]);
    if (compared != 0) {
      order = compared < 0 ? -1 : 1;
      return true;
    }
  }
  order = 0;
  return true;
}
