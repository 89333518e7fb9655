// KWSharedDeque: a blocking queue for many producers and one consumer.
//
//   queue.PushBack(item);            // any thread
//   T item; queue.Front(item);       // blocks until an item is there
//   queue.PopFront();                // the consumer removes what it read
#pragma once

#include <deque>

#include "KWThread.h"

template <typename T>
class KWSharedDeque {
 public:
  KWSharedDeque() = default;
  KWSharedDeque(const KWSharedDeque&) = delete;
  KWSharedDeque& operator=(const KWSharedDeque&) = delete;

  void PushBack(const T& item) {
    KWLock lock(m_mutex);
    m_items.push_back(item);
    m_condition.notify_all();
  }

  // Copies the front item without removing it; never returns for an empty
  // queue (wake a waiting consumer with a sentinel item).
  void Front(T& out) {
    KWLock lock(m_mutex);
    while (m_items.empty()) m_condition.wait(lock);
    out = m_items.front();
  }

  // Never blocks; false when the queue was empty.
  bool PopFront() {
    KWLock lock(m_mutex);
    if (m_items.empty()) return false;
    m_items.pop_front();
    return true;
  }

 private:
  std::deque<T> m_items;
  KWCondition m_condition;
  KWMutex m_mutex;
};
