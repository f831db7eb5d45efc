// Singleton<T>: one process-wide instance of T, created on first use under a mutex and never destroyed.
#ifndef QOBL_COMMON_SINGLETON_H
#define QOBL_COMMON_SINGLETON_H

#include <atomic>
#include <mutex>
#include <utility>

namespace zenlar {
namespace qobl {

template <typename T>
class Singleton {
 public:
  // The single instance of T; the first call constructs it with T's default constructor.  After that the
  // call is one atomic load.  If the constructor throws, the exception propagates and a later call retries.
  static T* getInstance() {
    T* p = instance_.load(std::memory_order_acquire);
    if (p != nullptr) return p;
    std::lock_guard<std::mutex> guard(lock_);
    if (instance_.load(std::memory_order_relaxed) == nullptr) {
      instance<>();
    }
    return instance_.load(std::memory_order_acquire);
  }

  Singleton() = delete;

 private:
  // Called only from getInstance with lock_ held.
  template <typename... Args>
  static T* instance(Args&&... args) {
    if (instance_.load(std::memory_order_relaxed) == nullptr) {
      instance_.store(new T(std::forward<Args>(args)...), std::memory_order_release);
    }
    return instance_.load(std::memory_order_relaxed);
  }

  static inline std::atomic<T*> instance_{nullptr};
  static inline std::mutex lock_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_COMMON_SINGLETON_H
