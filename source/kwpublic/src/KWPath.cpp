#include "KWPath.h"

KWPath& KWPath::Append(const KWString& component, int /*kind*/) {
  if (component.empty()) return *this;
  std::string joined = m_path.GetUTF8String();
  const std::string& tail = component.GetUTF8String();
  const bool endsWithSeparator = !joined.empty() && joined.back() == '/';
  const bool startsWithSeparator = tail.front() == '/';
  if (joined.empty()) {
    joined = tail;
  } else if (endsWithSeparator && startsWithSeparator) {
    joined += tail.substr(1);
  } else if (endsWithSeparator || startsWithSeparator) {
    joined += tail;
  } else {
    joined += '/';
    joined += tail;
  }
  m_path = KWString(std::move(joined));
  return *this;
}

KWPath KWPath::AppendNew(const KWString& component, int kind) const {
  KWPath copy(*this);
  copy.Append(component, kind);
  return copy;
}

KWPath KWPath::GetParentKWPath(uint32_t /*flags*/) const {
  std::string path = m_path.GetUTF8String();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return KWPath();
  if (slash == 0) return KWPath("/");
  return KWPath(KWString(path.substr(0, slash)));
}

KWString KWPath::GetFileName() const {
  std::string path = m_path.GetUTF8String();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return KWString(path);
  return KWString(path.substr(slash + 1));
}
