// KWLCException: the one exception type of the system.
//
//   throw KWLCException("kKWErrorInternal", __FILE__, __LINE__, false);
//   throw KWLCException(9002, "source/application/installer/LCInstallerService", 546, false);
#pragma once

#include <exception>
#include <string>

// The integer behind the code name "kKWErrorInternal". It lies outside every
// code the installer gives a message of its own, so it shows the generic one.
const int kKWErrorInternal = 9999;

class KWLCException : public std::exception {
 public:
  // A named code; an unknown name maps to kKWErrorInternal.
  // With report set the exception is reported through KWAssertFailed as it is made.
  KWLCException(const char* codeName, const char* file, int line, bool report);
  KWLCException(int code, const char* file, int line, bool report);

  int GetCode() const { return m_code; }
  const std::string& GetCodeName() const { return m_codeName; }
  const std::string& GetFile() const { return m_file; }
  int GetLine() const { return m_line; }
  const char* what() const noexcept override { return m_description.c_str(); }

  // The integer for a code name, or kKWErrorInternal when the name is unknown.
  static int CodeForName(const char* codeName);

 private:
  void Describe(bool report);

  int m_code;
  std::string m_codeName;
  std::string m_file;
  int m_line;
  std::string m_description;
};

class KWExceptionUtils {
 public:
  // Installs handlers for fatal signals and std::terminate that log a
  // backtrace before the process ends. Call once per thread: the process-wide
  // part is installed once, the per-thread part gives the thread an alternate
  // signal stack so that a stack overflow is reported as well.
  static void InstallExceptionHandler();
};

// Logs "Assert failed: MESSAGE (FILE:LINE)" and returns.
void KWAssertFailed(const char* message, const char* file, int line);
