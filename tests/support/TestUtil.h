// Helpers shared by the tests: temporary folders, files and the log.
#pragma once

#include <map>
#include <string>
#include <vector>

// A fresh folder under the system temporary folder, removed with everything
// inside it when the object goes.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);
std::vector<std::string> ListFolder(const std::string& path);

// Sends gKWLogger to a file of its own for the life of the object and reads
// the lines back without their time and thread prefix.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& text) const;
  // Index of the first line equal to text, or -1.
  int IndexOf(const std::string& text) const;

 private:
  ScopedTempDir m_dir;
};

// Sets environment variables for the life of the object (an empty value
// unsets one) and puts back what was there before. Only while no other
// thread reads the environment.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::map<std::string, std::string>& values);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::map<std::string, std::pair<bool, std::string>> m_saved;  // name: (was set, value)
};

// Every proxy variable, unset unless named here.
std::map<std::string, std::string> ProxyVariables(const std::map<std::string, std::string>& set = {});
