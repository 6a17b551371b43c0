// The owner closes each handle it was given exactly once, whatever is done
// with it, and never a "no handle" value.
#include <handles/unique_handle.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

// Handles are small numbers; -1 and 0 are "no handle", as null and
// INVALID_HANDLE_VALUE are for a kernel handle.
std::vector<int> g_closed;

struct CountingTraits {
  using Handle = int;
  static int None() { return -1; }
  static bool Owns(int handle) { return handle > 0; }
  static void Close(int handle) { g_closed.push_back(handle); }
};

using Owner = handles::UniqueHandle<CountingTraits>;

class UniqueHandleTest : public testing::Test {
 protected:
  void SetUp() override { g_closed.clear(); }
};

TEST_F(UniqueHandleTest, ClosesOnceThroughMovesAndResets) {
  {
    Owner first(1);
    Owner second(std::move(first));
    EXPECT_FALSE(first);
    Owner third(2);
    third = std::move(second);  // closes 2, takes 1
    Owner& alias = third;
    third = std::move(alias);   // a move onto itself keeps the handle
    EXPECT_EQ(third.Get(), 1);
    EXPECT_EQ(g_closed, std::vector<int>({2}));
    third.Reset(3);
    Owner empty(0);
    empty.Reset();
  }
  EXPECT_EQ(g_closed, std::vector<int>({2, 1, 3}));
}

TEST_F(UniqueHandleTest, ReleaseGivesUpAndReceiveClosesFirst) {
  Owner owner(4);
  EXPECT_EQ(owner.Release(), 4);
  EXPECT_EQ(owner.Get(), -1);
  owner.Reset(5);
  int* slot = owner.Receive();
  EXPECT_EQ(g_closed, std::vector<int>({5}));
  EXPECT_EQ(*slot, -1);
  *slot = 6;
  EXPECT_TRUE(owner);
  owner.Reset();
  EXPECT_EQ(g_closed, std::vector<int>({5, 6}));
}

}  // namespace
