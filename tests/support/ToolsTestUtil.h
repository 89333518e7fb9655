// Helpers for the tests of the tools: running a program as a real child
// process, reading the key=value lines the scripts print, building ISO images.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;  // 128 + signal when the child was killed
  std::string out;
  std::string err;
};

// Runs argv[0] (looked up in PATH) with the arguments and extra "KEY=VALUE"
// environment entries, and waits for it.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});

// A program that runs beside the test (a server), its output in one file;
// ended by its pid with SIGTERM, and waited for, when the object goes.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& outputPath);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  bool IsRunning() const { return m_pid != 0; }
  // The exit code as RunProcess gives it; -1 when it never started.
  int Stop();

 private:
  int m_pid = 0;
};

std::map<std::string, std::string> ParseKeyValues(const std::string& text);

bool HaveProgram(const std::string& name);

// An ISO 9660 image of sourceDir with Rock Ridge and Joliet, made by xorriso.
bool MakeIso(const std::string& sourceDir, const std::string& volumeName, const std::string& isoPath);

// Where the built hdiutil stand-in and the tool scripts are.
std::string HdiutilPath();
std::string ToolPath(const std::string& relative);

void MakeFolders(const std::string& path);
void WriteExecutable(const std::string& path, const std::string& bytes);
