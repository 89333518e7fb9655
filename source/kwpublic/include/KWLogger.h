// gKWLogger: the process-wide log. Each call writes one whole line, prefixed
// with the time and the thread, to the log file and (optionally) the console.
//
//   KWLOG("Downloading %s", url.c_str());
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "KWString.h"

class KWLogger {
 public:
  KWLogger() = default;
  virtual ~KWLogger();
  KWLogger(const KWLogger&) = delete;
  KWLogger& operator=(const KWLogger&) = delete;

  // Callers test it before formatting anything; off until LogEnableAtRuntime.
  std::atomic<bool> m_isEnabled{false};

  virtual void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Logs prepared text of the given length (need not be NUL-terminated).
  virtual void LogString(const char* text, size_t length);

  void SetLogFilePath(const KWString& path);
  void LogEnableAtRuntime(bool enable) { m_isEnabled = enable; }
  void SetConsoleOutputFlag(bool enable) { m_consoleOutput = enable; }

 private:
  void WriteLine(const char* text, size_t length);

  std::mutex m_mutex;
  int m_fd = -1;
  std::atomic<bool> m_consoleOutput{false};
};

extern KWLogger gKWLogger;

#define KWLOG(...)                                         \
  do {                                                     \
    if (gKWLogger.m_isEnabled) gKWLogger.Log(__VA_ARGS__); \
  } while (0)
