// KWRefcountedPtr: shared ownership; the last reference destroys the object.
// The count is atomic, so references may be dropped on any thread.
#pragma once

#include <memory>

template <typename T>
class KWRefcountedPtr {
 public:
  KWRefcountedPtr() = default;
  explicit KWRefcountedPtr(T* pointer) : m_pointer(pointer) {}

  T* get() const { return m_pointer.get(); }
  T* operator->() const { return m_pointer.get(); }
  T& operator*() const { return *m_pointer; }
  explicit operator bool() const { return static_cast<bool>(m_pointer); }
  void reset() { m_pointer.reset(); }
  long use_count() const { return m_pointer.use_count(); }

 private:
  std::shared_ptr<T> m_pointer;
};
