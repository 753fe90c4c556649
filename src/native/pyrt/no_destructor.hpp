// Process-lifetime storage: module-level state that must outlive
// interpreter finalisation, so its destructor never runs.
#pragma once

#include <new>
#include <utility>

namespace orv::pyrt {

// Keeps an object alive for the rest of the process without ever running its
// destructor: module-level state that must outlive interpreter finalisation.
template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  T& operator*() { return *reinterpret_cast<T*>(storage_); }
  T* operator->() { return reinterpret_cast<T*>(storage_); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace orv::pyrt
