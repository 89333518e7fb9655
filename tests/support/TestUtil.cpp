#include "TestUtil.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "KWFileUtil.h"
#include "KWLogger.h"

ScopedTempDir::ScopedTempDir() {
  std::string pattern = KWFileUtil::GetSystemTempFolder().GetPath().GetPathAsKWString().GetUTF8String() +
                        "/clipvane-test.XXXXXX";
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
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

LogCapture::LogCapture() {
  gKWLogger.SetLogFilePath(m_dir.File("log.txt").c_str());
  gKWLogger.LogEnableAtRuntime(true);
}

LogCapture::~LogCapture() {
  gKWLogger.LogEnableAtRuntime(false);
  gKWLogger.SetLogFilePath("/dev/null");
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
