#include "KWException.h"

#include <execinfo.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "KWLogger.h"

namespace {

struct KWCodeName {
  const char* name;
  int code;
};

const KWCodeName g_codeNames[] = {
    {"kKWErrorInternal", kKWErrorInternal},
};

const int g_fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

std::once_flag g_processHandlersOnce;
std::terminate_handler g_previousTerminate = nullptr;

// Async-signal-safe: only write(2) and backtrace_symbols_fd.
void WriteBacktrace(const char* headline) {
  write(STDERR_FILENO, headline, strlen(headline));
  void* frames[64];
  const int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

void OnFatalSignal(int signalNumber) {
  char headline[64];
  // snprintf is not async-signal-safe in theory; a fixed text is.
  const char* text = "Fatal signal, backtrace follows:\n";
  strncpy(headline, text, sizeof(headline));
  WriteBacktrace(headline);
  // SA_RESETHAND restored the default action: raise again to end the process
  // with the same signal (and a core file where enabled).
  raise(signalNumber);
}

void OnTerminate() {
  KWLOG("Unhandled exception: std::terminate called");
  WriteBacktrace("std::terminate called, backtrace follows:\n");
  if (g_previousTerminate) g_previousTerminate();
  abort();
}

struct KWAlternateStack {
  KWAlternateStack() : size(64 * 1024), memory(new char[size]) {
    stack_t stack{};
    stack.ss_sp = memory.get();
    stack.ss_size = size;
    installed = sigaltstack(&stack, nullptr) == 0;
  }
  ~KWAlternateStack() {
    if (!installed) return;
    stack_t stack{};
    stack.ss_flags = SS_DISABLE;
    sigaltstack(&stack, nullptr);
  }
  size_t size;
  std::unique_ptr<char[]> memory;
  bool installed = false;
};

}  // namespace

int KWLCException::CodeForName(const char* codeName) {
  if (codeName) {
    for (const KWCodeName& entry : g_codeNames) {
      if (strcmp(entry.name, codeName) == 0) return entry.code;
    }
  }
  return kKWErrorInternal;
}

KWLCException::KWLCException(const char* codeName, const char* file, int line, bool report)
    : m_code(CodeForName(codeName)), m_codeName(codeName ? codeName : ""), m_file(file ? file : ""), m_line(line) {
  Describe(report);
}

KWLCException::KWLCException(int code, const char* file, int line, bool report)
    : m_code(code), m_file(file ? file : ""), m_line(line) {
  Describe(report);
}

void KWLCException::Describe(bool report) {
  m_description = "KWLCException " + std::to_string(m_code);
  if (!m_codeName.empty()) m_description += " (" + m_codeName + ")";
  m_description += " at " + m_file + ":" + std::to_string(m_line);
  if (report) KWAssertFailed(m_description.c_str(), m_file.c_str(), m_line);
}

void KWExceptionUtils::InstallExceptionHandler() {
  std::call_once(g_processHandlersOnce, [] {
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    action.sa_flags = SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : g_fatalSignals) {
      struct sigaction previous {};
      sigaction(signalNumber, nullptr, &previous);
      // Leave a handler that someone else installed (a sanitizer, a debugger
      // helper) in place: it reports better than we can.
      if (previous.sa_handler == SIG_DFL) sigaction(signalNumber, &action, nullptr);
    }
    g_previousTerminate = std::set_terminate(OnTerminate);
  });
  thread_local KWAlternateStack alternateStack;
  (void)alternateStack;
}

void KWAssertFailed(const char* message, const char* file, int line) {
  KWLOG("Assert failed: %s (%s:%d)", message ? message : "", file ? file : "", line);
}
