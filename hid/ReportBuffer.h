// The bytes of one report for a transfer and the OVERLAPPED that moves them,
// allocated together without throwing: when the memory cannot be had the
// buffer is empty (IsValid() is false) and the transfer fails with a logged
// error; nothing unwinds through the caller. The driver writes into both until
// the transfer has ended, so they live and go together (see CKeptTransfers).
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <memory>
#include <new>

class CReportBuffer {
 public:
  CReportBuffer() : m_nSize(0) {}
  explicit CReportBuffer(size_t nSize)
      : m_pBlock(new (std::nothrow) BYTE[kBytesOffset + nSize]()), m_nSize(m_pBlock ? nSize : 0) {
    if (m_pBlock) new (m_pBlock.get()) OVERLAPPED{};
  }

  bool IsValid() const { return m_pBlock != nullptr; }
  BYTE* Data() { return m_pBlock.get() + kBytesOffset; }
  const BYTE* Data() const { return m_pBlock.get() + kBytesOffset; }
  size_t Size() const { return m_nSize; }
  BYTE& operator[](size_t nIndex) { return Data()[nIndex]; }
  const BYTE& operator[](size_t nIndex) const { return Data()[nIndex]; }
  OVERLAPPED& Overlapped() { return *std::launder(reinterpret_cast<OVERLAPPED*>(m_pBlock.get())); }
  // Gives up ownership of the block without freeing it; the buffer is empty after.
  BYTE* Release() {
    m_nSize = 0;
    return m_pBlock.release();
  }

 private:
  // The report's bytes follow the OVERLAPPED, aligned as new[] aligns the block.
  static constexpr size_t kBytesOffset =
      (sizeof(OVERLAPPED) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

  std::unique_ptr<BYTE[]> m_pBlock;
  size_t m_nSize;
};
