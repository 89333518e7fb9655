#include "HdiEntryPolicy.h"

#include <cstdio>
#include <vector>

const char* const HdiEntryPolicy::kMarkerName = ".hdiutil-standin-mount";

namespace {

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> components;
  std::string current;
  for (char c : path) {
    if (c == '/') {
      if (!current.empty()) components.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) components.push_back(current);
  return components;
}

}  // namespace

bool HdiEntryPolicy::CheckPath(const std::string& path, std::string& relative, std::string& reason) const {
  relative.clear();
  if (path.empty()) {
    reason = "empty entry name";
    return false;
  }
  if (path[0] == '/') {
    reason = "absolute path";
    return false;
  }
  for (const std::string& component : SplitComponents(path)) {
    if (component == ".") continue;
    if (component == "..") {
      reason = "path climbs out with \"..\"";
      return false;
    }
    if (!relative.empty()) relative += '/';
    relative += component;
  }
  if (relative.empty()) {
    reason = "entry names the volume itself";
    return false;
  }
  if (relative == kMarkerName) {
    reason = "entry uses the stand-in's marker name";
    return false;
  }
  return true;
}

bool HdiEntryPolicy::NamesTop(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  for (const std::string& component : SplitComponents(path)) {
    if (component != ".") return false;
  }
  return true;
}

bool HdiEntryPolicy::CheckSymlinkTarget(const std::string& relativeLinkPath, const std::string& target,
                                        std::string& reason) const {
  if (target.empty()) {
    reason = "symbolic link without a target";
    return false;
  }
  if (target[0] == '/') {
    reason = "symbolic link to an absolute path";
    return false;
  }
  const size_t depth = SplitComponents(relativeLinkPath).size() - 1;
  size_t climbs = 0;
  bool descending = false;
  for (const std::string& component : SplitComponents(target)) {
    if (component == ".") continue;
    if (component == "..") {
      if (descending) {
        reason = "symbolic link with \"..\" after a folder name";
        return false;
      }
      if (++climbs > depth) {
        reason = "symbolic link points outside the volume";
        return false;
      }
    } else {
      descending = true;
    }
  }
  return true;
}

bool HdiEntryPolicy::CheckHardlinkTarget(const std::string& target, std::string& relative, std::string& reason) const {
  if (!CheckPath(target, relative, reason)) {
    reason = "hard link target: " + reason;
    return false;
  }
  if (m_regularFiles.count(relative) == 0) {
    reason = "hard link to something other than a file of the volume";
    return false;
  }
  return true;
}

void HdiEntryPolicy::ForgetRegularFile(const std::string& relative) {
  m_regularFiles.erase(relative);
  const std::string below = relative + "/";
  auto it = m_regularFiles.lower_bound(below);
  while (it != m_regularFiles.end() && it->compare(0, below.size(), below) == 0) it = m_regularFiles.erase(it);
}

std::string HdiPrintableName(const std::string& name) {
  std::string printable;
  for (unsigned char c : name) {
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      printable += escaped;
    } else {
      printable += static_cast<char>(c);
    }
  }
  return printable;
}
