// The process: its id, its executable's name (with Windows' truncation
// rules) and its local heap.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(ConformanceProcess, IdIsStableAndNonZero) {
  DWORD id = GetCurrentProcessId();
  EXPECT_NE(id, 0u);
  EXPECT_EQ(GetCurrentProcessId(), id);
}

TEST(ConformanceModuleName, FullNameIsADrivePath) {
  WCHAR name[MAX_PATH + 8];
  for (auto& c : name) c = 0x5A5A;
  DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
  ASSERT_GT(length, 3u);
  ASSERT_LT(length, (DWORD)MAX_PATH);
  EXPECT_EQ(length, (DWORD)wcslen(name));
  EXPECT_EQ(name[1], L':');
  EXPECT_EQ(name[2], L'\\');
  EXPECT_EQ(name[length + 1], (WCHAR)0x5A5A);
  char narrow[MAX_PATH + 8];
  EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, MAX_PATH), length);
  EXPECT_EQ(narrow[1], ':');
}

TEST(ConformanceModuleName, ShortBuffersGetATerminatedPrefix) {
  WCHAR full[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, full, MAX_PATH);
  ASSERT_GT(length, 5u);
  for (DWORD size : {(DWORD)5, length}) {
    WCHAR name[MAX_PATH];
    for (auto& c : name) c = 0x5A5A;
    ArmLastError();
    EXPECT_EQ(GetModuleFileNameW(nullptr, name, size), size);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(name[size - 1], 0);
    EXPECT_EQ(std::wstring(name, size - 1), std::wstring(full, size - 1));
    EXPECT_EQ(name[size], (WCHAR)0x5A5A);
  }
  char narrow[8];
  memset(narrow, 'Z', sizeof narrow);
  ArmLastError();
  EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, 4), 4u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(narrow[3], 0);
  EXPECT_EQ(narrow[4], 'Z');
}

TEST(ConformanceLocalHeap, ZeroedBlocksAndFreeing) {
  auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0) << i;
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
  EXPECT_NE(empty, nullptr);
  EXPECT_EQ(LocalFree(empty), nullptr);
}

}  // namespace
