// One owner for every kind of system handle: a small move-only object that
// closes what it holds when it goes. A kind is described by its traits:
//
//   struct Traits {
//     using Handle = ...;                  // what the system hands out
//     static Handle None();                // what an empty owner holds
//     static bool Owns(Handle handle);     // false for every "no handle" value
//     static void Close(Handle handle);    // called once, for an owned handle
//   };
//
// Plain C++: the Win32 kinds are in <handles/win32.h>.
#pragma once

#include <utility>

namespace handles {

template <class Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle handle) noexcept : m_handle(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  Handle Get() const noexcept { return m_handle; }
  bool Valid() const noexcept { return Traits::Owns(m_handle); }
  explicit operator bool() const noexcept { return Valid(); }

  // Gives the handle up without closing it.
  Handle Release() noexcept { return std::exchange(m_handle, Traits::None()); }
  // Closes the handle held (if any) and holds `next`.
  void Reset(Handle next = Traits::None()) noexcept {
    const Handle old = std::exchange(m_handle, next);
    if (Traits::Owns(old)) Traits::Close(old);
  }
  // For a call that hands its new handle out through a pointer: closes the
  // handle held and returns where the call is to write the next one.
  Handle* Receive() noexcept {
    Reset();
    return &m_handle;
  }

 private:
  Handle m_handle = Traits::None();
};

}  // namespace handles
