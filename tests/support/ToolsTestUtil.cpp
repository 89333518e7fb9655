#include "ToolsTestUtil.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "TestUtil.h"

extern char** environ;

namespace {

// Starts argv with stdin from /dev/null and stdout and stderr to the files;
// 0 when it could not start (the reason in *error).
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, const std::string& outPath,
            const std::string& errPath, std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Nothing else we hold goes to the child: a server that outlives its test
  // (nginx goes to the background) would keep, say, the lock the test run was
  // started under, and every later run would wait for it.
  const long lastFD = std::min(sysconf(_SC_OPEN_MAX), 4096L);
  for (int fd = 3; fd < lastFD; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings(extraEnv);
  for (char** entry = environ; *entry != nullptr; ++entry) envStrings.push_back(*entry);
  std::vector<char*> env;
  for (const std::string& entry : envStrings) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  pid_t pid = 0;
  const int spawnError = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) {
    *error = "spawn failed: " + std::to_string(spawnError);
    return 0;
  }
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  ProcessResult result;
  ScopedTempDir outputs;
  const std::string outPath = outputs.File("out"), errPath = outputs.File("err");
  const pid_t pid = Spawn(argv, extraEnv, outPath, errPath, &result.err);
  if (pid == 0) return result;
  result.exitCode = WaitForExit(pid);
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::string& outputPath) {
  std::string error;
  m_pid = Spawn(argv, {}, outputPath, outputPath, &error);
}

BackgroundProcess::~BackgroundProcess() { Stop(); }

int BackgroundProcess::Stop() {
  if (m_pid == 0) return -1;
  kill(m_pid, SIGTERM);
  const int exitCode = WaitForExit(m_pid);
  m_pid = 0;
  return exitCode;
}

std::map<std::string, std::string> ParseKeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

bool HaveProgram(const std::string& name) {
  return RunProcess({"sh", "-c", "command -v \"$0\" >/dev/null", name}).exitCode == 0;
}

bool MakeIso(const std::string& sourceDir, const std::string& volumeName, const std::string& isoPath) {
  return RunProcess({"xorriso", "-as", "mkisofs", "-quiet", "-R", "-J", "-joliet-long", "-V", volumeName, "-o", isoPath,
                     sourceDir})
             .exitCode == 0;
}

std::string HdiutilPath() { return CLV_HDIUTIL_STANDIN; }

std::string ToolPath(const std::string& relative) { return std::string(CLV_TOOLS_DIR) + "/" + relative; }

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  mkdir(path.c_str(), 0755);
}

void WriteExecutable(const std::string& path, const std::string& bytes) {
  WriteFileBytes(path, bytes);
  chmod(path.c_str(), 0755);
}
