// KWAutoPtr: the single owner of a heap object; deletes it on reset and at scope end.
#pragma once

template <typename T>
class KWAutoPtr {
 public:
  explicit KWAutoPtr(T* pointer = nullptr) : m_pointer(pointer) {}
  ~KWAutoPtr() { delete m_pointer; }
  KWAutoPtr(const KWAutoPtr&) = delete;
  KWAutoPtr& operator=(const KWAutoPtr&) = delete;

  void reset(T* pointer = nullptr) {
    if (pointer == m_pointer) return;
    delete m_pointer;
    m_pointer = pointer;
  }
  T* get() const { return m_pointer; }
  T* operator->() const { return m_pointer; }
  T& operator*() const { return *m_pointer; }
  explicit operator bool() const { return m_pointer != nullptr; }

 private:
  T* m_pointer;
};
