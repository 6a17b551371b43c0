// Entry of the conformance suite when it runs against a real Win32 (Windows or Wine).
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
