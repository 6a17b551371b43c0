// The bytes of one report for a transfer, allocated without throwing: when
// the memory cannot be had the buffer is empty (IsValid() is false) and the
// transfer fails with a logged error; nothing unwinds through the caller.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <memory>
#include <new>

class CReportBuffer {
 public:
  explicit CReportBuffer(size_t nSize) : m_pBytes(new (std::nothrow) BYTE[nSize]()), m_nSize(m_pBytes ? nSize : 0) {}

  bool IsValid() const { return m_pBytes != nullptr; }
  BYTE* Data() { return m_pBytes.get(); }
  const BYTE* Data() const { return m_pBytes.get(); }
  size_t Size() const { return m_nSize; }
  BYTE& operator[](size_t nIndex) { return m_pBytes[nIndex]; }
  const BYTE& operator[](size_t nIndex) const { return m_pBytes[nIndex]; }

 private:
  std::unique_ptr<BYTE[]> m_pBytes;
  size_t m_nSize;
};
