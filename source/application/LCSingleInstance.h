// LCSingleInstance: one installer at a time. Holds an exclusive lock on a file
// in the system temporary folder for the life of the object; the system drops
// the lock when the process ends, so a crashed installer never blocks the next.
#pragma once

class LCSingleInstance {
 public:
  LCSingleInstance();
  ~LCSingleInstance();
  LCSingleInstance(const LCSingleInstance&) = delete;
  LCSingleInstance& operator=(const LCSingleInstance&) = delete;

  // False when another installer holds the lock.
  bool IsOnlyInstance() const { return m_locked; }

 private:
  int m_fd = -1;
  bool m_locked = false;
};
