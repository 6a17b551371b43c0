// Entry of the conformance suite when it runs against a real Win32 (Windows or Wine).
// Known Wine gaps are skipped by the Wine stage (tests/wine/conformance-wine-gaps.txt).
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
