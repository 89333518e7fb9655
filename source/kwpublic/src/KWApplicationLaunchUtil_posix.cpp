#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "KWApplicationLaunchUtil.h"

extern char** environ;

namespace {
int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
}  // namespace

int KWApplicationLaunchUtil::LaunchApplication(const KWString& program, const std::vector<KWString>& arguments,
                                               int& exitCode, int waitPolicy, bool silenceOutput) {
  if (program.empty()) return ENOENT;
  std::vector<std::string> storage;
  storage.reserve(arguments.size() + 1);
  storage.push_back(program.GetUTF8String());
  for (const KWString& argument : arguments) storage.push_back(argument.GetUTF8String());
  std::vector<char*> argv;
  for (std::string& text : storage) argv.push_back(&text[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (silenceOutput) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  // A bare name is looked up on PATH, a path is taken as it is.
  const bool searchPath = program.find("/") == KWString::npos;
  const int result = searchPath ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                                : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return result;

  if (waitPolicy == kKWLaunchWait) {
    exitCode = WaitForExit(pid);
  } else {
    // Reap the child when it ends so that it never lingers as a zombie.
    std::thread([pid] { WaitForExit(pid); }).detach();
  }
  return 0;
}
