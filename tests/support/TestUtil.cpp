#include "TestUtil.h"

#include <ctype.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "KWFileUtil.h"
#include "KWLogger.h"

ScopedTempDir::ScopedTempDir() {
  std::string pattern =
      KWFileUtil::GetSystemTempFolder().GetPath().GetPathAsKWString().GetUTF8String() + "/clipvane-test.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  m_path = mkdtemp(buffer.data());
}

ScopedTempDir::~ScopedTempDir() { KWFileUtil::DeleteDirectoryTree(KWPath(KWString(m_path))); }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool PathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> ListFolder(const std::string& path) {
  return KWFileUtil::GetFolderEntryNames(KWPath(KWString(path)));
}

LogCapture::LogCapture() {
  gKWLogger.SetLogFilePath(m_dir.File("log.txt").c_str());
  gKWLogger.LogEnableAtRuntime(true);
}

LogCapture::~LogCapture() {
  gKWLogger.LogEnableAtRuntime(false);
  gKWLogger.SetLogFilePath("");
}

std::vector<std::string> LogCapture::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(m_dir.File("log.txt")));
  std::string line;
  while (std::getline(in, line)) {
    // "YYYY-MM-DD HH:MM:SS.mmm [thread] text"
    const size_t bracket = line.find("] ");
    lines.push_back(bracket == std::string::npos ? line : line.substr(bracket + 2));
  }
  return lines;
}

bool LogCapture::Contains(const std::string& text) const {
  for (const std::string& line : Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

int LogCapture::IndexOf(const std::string& text) const {
  const std::vector<std::string> lines = Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == text) return static_cast<int>(i);
  }
  return -1;
}

ScopedEnvironment::ScopedEnvironment(const std::map<std::string, std::string>& values) {
  for (const auto& value : values) {
    const char* old = getenv(value.first.c_str());
    m_saved[value.first] = {old != nullptr, old ? old : ""};
    if (value.second.empty()) {
      unsetenv(value.first.c_str());
    } else {
      setenv(value.first.c_str(), value.second.c_str(), 1);
    }
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& saved : m_saved) {
    if (saved.second.first) {
      setenv(saved.first.c_str(), saved.second.second.c_str(), 1);
    } else {
      unsetenv(saved.first.c_str());
    }
  }
}

std::map<std::string, std::string> ProxyVariables(const std::map<std::string, std::string>& set) {
  std::map<std::string, std::string> all;
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy"}) {
    std::string upper(name);
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    all[name] = all[upper] = "";
  }
  for (const auto& value : set) all[value.first] = value.second;
  return all;
}
