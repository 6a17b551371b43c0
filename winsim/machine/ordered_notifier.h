// Hands records to one observer callback in the order they were recorded,
// one call at a time, and never while the recording part holds its own lock
// (the observer may call back into that part).
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace winsim {

template <class Item>
class OrderedNotifier {
 public:
  using Callback = std::function<void(const Item&)>;

  void SetCallback(Callback callback) {
    std::lock_guard callLock(m_callMutex);
    std::lock_guard lock(m_queueMutex);
    m_callback = std::move(callback);
  }
  // May be called under the recording part's lock.
  void Push(Item item) {
    std::lock_guard lock(m_queueMutex);
    m_queue.push_back(std::move(item));
  }
  // Must be called without the recording part's lock.
  void Flush() {
    std::lock_guard callLock(m_callMutex);
    for (;;) {
      Item item;
      Callback callback;
      {
        std::lock_guard lock(m_queueMutex);
        if (m_queue.empty()) return;
        item = std::move(m_queue.front());
        m_queue.pop_front();
        callback = m_callback;
      }
      if (callback) callback(item);
    }
  }

 private:
  std::recursive_mutex m_callMutex;  // an observer that records again re-enters Flush
  std::mutex m_queueMutex;
  std::deque<Item> m_queue;
  Callback m_callback;
};

}  // namespace winsim
