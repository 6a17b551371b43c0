// Fault knobs: which calls an armed knob fails (skip, count, subject), that it
// disarms itself, and the allocation knob on LocalAlloc and, in this program
// (linked with winsim_alloc_faults), on the C allocators and nothrow new.
#include <gtest/gtest.h>
#include <winsim/sim/executable.h>
#include <winsim/sim/faults.h>
#include <winsim/windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using winsim::FaultPlan;
using winsim::FaultPoint;
using winsim::Faults;

// Keeps the compiler from dropping an allocation whose block is not used.
template <class T>
T* Kept(T* p) {
  asm volatile("" : : "g"(p) : "memory");
  return p;
}

TEST(MachineFaults, SkipCountAndSubjectChooseTheCallsThatFail) {
  winsim::ScopedMachine machine;
  Faults& faults = machine->Part<Faults>();
  FaultPlan plan;
  plan.error = ERROR_ACCESS_DENIED;
  plan.skip = 1;
  plan.count = 2;
  plan.subject = L"Beta";
  faults.Arm(FaultPoint::kCreateMutex, plan);
  auto made = [](const wchar_t* name) {
    HANDLE h = CreateMutexW(nullptr, FALSE, name);
    const DWORD error = h ? ERROR_SUCCESS : GetLastError();
    if (h) CloseHandle(h);
    return error;
  };
  EXPECT_EQ(made(L"Alpha"), (DWORD)ERROR_SUCCESS);  // another subject: not counted
  EXPECT_EQ(made(L"Beta1"), (DWORD)ERROR_SUCCESS);  // skipped
  EXPECT_EQ(made(L"Beta2"), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(made(L"Beta3"), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(made(L"Beta4"), (DWORD)ERROR_SUCCESS);  // disarmed after two
  EXPECT_EQ(faults.Hits(FaultPoint::kCreateMutex), 2u);
}

TEST(MachineFaults, LocalAllocIsRefusedWithTheErrorAndLeavesNoBlock) {
  winsim::ScopedMachine machine;
  Faults& faults = machine->Part<Faults>();
  const size_t blocks = winsim::LocalHeapBlocks();
  FaultPlan plan;
  plan.error = ERROR_NOT_ENOUGH_MEMORY;
  plan.subject = L"LocalAlloc";
  faults.Arm(FaultPoint::kHeapAlloc, plan);
  EXPECT_EQ(LocalAlloc(LPTR, 16), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(winsim::LocalHeapBlocks(), blocks);
  HLOCAL block = LocalAlloc(LPTR, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(block)[15], 0) << "LPTR zeroes";
  EXPECT_EQ(LocalFree(block), nullptr);
  // Memory winsim hands out through LocalAlloc is refused the same way.
  faults.Arm(FaultPoint::kHeapAlloc, plan);
  LPWSTR text = nullptr;
  EXPECT_FALSE(FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                              ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr));
  EXPECT_EQ(text, nullptr);
}

TEST(MachineFaults, TheLinkedAllocatorsAreRefusedOneByOne) {
  winsim::ScopedMachine machine;
  Faults& faults = machine->Part<Faults>();
  FaultPlan plan;
  plan.error = ERROR_NOT_ENOUGH_MEMORY;
  plan.count = UINT_MAX;
  faults.Arm(FaultPoint::kHeapAlloc, plan);
  errno = 0;
  EXPECT_EQ(Kept(std::malloc(8)), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(Kept(std::calloc(2, 8)), nullptr);
  EXPECT_EQ(Kept(strdup("text")), nullptr);
  EXPECT_EQ(Kept(new (std::nothrow) int(1)), nullptr);
  EXPECT_EQ(Kept(new (std::nothrow) char[4]), nullptr);
  faults.Disarm(FaultPoint::kHeapAlloc);
  EXPECT_EQ(faults.Hits(FaultPoint::kHeapAlloc), 5u);

  // A refused realloc keeps the block and its bytes.
  char* block = static_cast<char*>(std::malloc(4));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "abc", 4);
  plan.count = 1;
  plan.subject = L"realloc";
  faults.Arm(FaultPoint::kHeapAlloc, plan);
  char* grown = Kept(static_cast<char*>(std::realloc(block, 1 << 20)));
  EXPECT_EQ(grown, nullptr);
  if (grown)
    block = grown;
  else
    EXPECT_STREQ(block, "abc");
  int* other = Kept(new (std::nothrow) int(2));
  EXPECT_NE(other, nullptr) << "another subject";
  delete other;
  std::free(block);
}

TEST(MachineFaults, AMachineGoneLeavesNoKnobArmed) {
  {
    winsim::ScopedMachine machine;
    FaultPlan plan;
    plan.count = UINT_MAX;
    plan.subject = L"malloc";
    machine->Part<Faults>().Arm(FaultPoint::kHeapAlloc, plan);
  }
  winsim::ScopedMachine machine;
  void* block = Kept(std::malloc(8));
  EXPECT_NE(block, nullptr);
  std::free(block);
  EXPECT_EQ(machine->Part<Faults>().Hits(FaultPoint::kHeapAlloc), 0u);
}

}  // namespace
