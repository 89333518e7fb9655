#include "KWLogger.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

KWLogger gKWLogger;

namespace {
void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += put;
    length -= static_cast<size_t>(put);
  }
}
}  // namespace

KWLogger::~KWLogger() {
  if (m_fd >= 0) close(m_fd);
}

void KWLogger::SetLogFilePath(const KWString& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_fd >= 0) close(m_fd);
  m_fd = fd;
}

void KWLogger::Log(const char* format, ...) {
  char stackBuffer[1024];
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int needed = vsnprintf(stackBuffer, sizeof(stackBuffer), format, arguments);
  va_end(arguments);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof(stackBuffer)) {
    va_end(copy);
    WriteLine(stackBuffer, static_cast<size_t>(needed));
    return;
  }
  std::vector<char> heapBuffer(static_cast<size_t>(needed) + 1);
  vsnprintf(heapBuffer.data(), heapBuffer.size(), format, copy);
  va_end(copy);
  WriteLine(heapBuffer.data(), static_cast<size_t>(needed));
}

void KWLogger::LogString(const char* text, size_t length) { WriteLine(text, length); }

void KWLogger::WriteLine(const char* text, size_t length) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char prefix[96];
  const size_t stamp = strftime(prefix, sizeof(prefix), "%Y-%m-%d %H:%M:%S", &local);
  const unsigned long threadId =
      static_cast<unsigned long>(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xFFFFFFFF);
  const int prefixLength = snprintf(prefix + stamp, sizeof(prefix) - stamp, ".%03d [%08lx] ",
                                    static_cast<int>(now.tv_usec / 1000), threadId);

  // One buffer and one write per destination keep lines whole even when
  // another process appends to the same file.
  std::string line;
  line.reserve(stamp + static_cast<size_t>(prefixLength) + length + 1);
  line.append(prefix, stamp + static_cast<size_t>(prefixLength));
  line.append(text, length);
  if (line.back() != '\n') line.push_back('\n');

  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_fd >= 0) WriteAll(m_fd, line.data(), line.size());
  if (m_consoleOutput) WriteAll(STDOUT_FILENO, line.data(), line.size());
}
