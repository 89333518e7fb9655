// LCSingleInstance: one installer at a time for this user. Holds an exclusive
// lock on a file in the user's runtime folder for the life of the object; the
// system drops the lock when the process ends, so a crashed installer never
// blocks the next. A file there that is not this user's regular file is not
// used, so another user cannot block the installer.
#pragma once

#include <string>

class LCSingleInstance {
 public:
  LCSingleInstance();
  ~LCSingleInstance();
  LCSingleInstance(const LCSingleInstance&) = delete;
  LCSingleInstance& operator=(const LCSingleInstance&) = delete;

  // False when another installer holds the lock.
  bool IsOnlyInstance() const { return m_locked; }

  // Another installer's way to bring this one forward: a byte added to the
  // lock file, which only this user can write, and which the holder empties.
  // Asked by the one that did not get the lock; the holder polls (main
  // thread). True once for any number of requests since the last call.
  void AskRunningToComeForward();
  bool ComeForwardAsked();

  // The lock file: XDG_RUNTIME_DIR when it is a private folder of this user's,
  // else the temporary folder, with the user id in the name.
  static std::string LockFilePath();

 private:
  int m_fd = -1;
  bool m_locked = false;
};
