#include "tpinfo/TPInfo.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

_TRACE_INFORMATION Record(int nMode, int nX, int nY, int nAdjust) {
  _TRACE_INFORMATION info{};
  info.nTraceMode = nMode;
  info.nXTrace = nX;
  info.nYTrace = nY;
  info.nTraceValue[0] = 11;
  info.nTraceValue[1] = 12;
  info.nTraceValue[2] = 13;
  info.nTraceValue[3] = 14;
  info.nTraceAdjust = nAdjust;
  return info;
}

// Reads the object as the exported layout: 36 consecutive integers.
int At(const CTPInfo& tp, int nIndex) {
  int nValue;
  std::memcpy(&nValue, reinterpret_cast<const char*>(&tp) + nIndex * 4, sizeof nValue);
  return nValue;
}

TEST(TPInfo, NewObjectIsAllZero) {
  CTPInfo tp;
  EXPECT_EQ(tp.GetXTrace(), 0);
  EXPECT_EQ(tp.GetYTrace(), 0);
  _TRACE_INFORMATION out;
  std::memset(&out, 0x5A, sizeof out);
  tp.GetTraceInfo(&out);
  _TRACE_INFORMATION zero{};
  EXPECT_EQ(std::memcmp(&out, &zero, sizeof out), 0);
  for (int i = 0; i < 36; ++i) EXPECT_EQ(At(tp, i), 0) << i;
}

TEST(TPInfo, XTraceIsReducedByTheMode) {
  CTPInfo tp;
  const struct {
    int nMode, nAdjust, nExpected;
  } cases[] = {{3, 2, 36}, {2, 2, 38}, {1, 2, 40}, {4, 2, 40}, {0, 2, 40}, {3, -2, 44}, {2, -5, 45}};
  for (const auto& c : cases) {
    auto info = Record(c.nMode, 40, 30, c.nAdjust);
    tp.SetTraceInfo(&info);
    EXPECT_EQ(tp.GetXTrace(), c.nExpected) << "mode " << c.nMode << " adjust " << c.nAdjust;
    EXPECT_EQ(tp.GetYTrace(), 30);
  }
}

TEST(TPInfo, ExtremeValuesWrapWithoutOverflowTrap) {
  CTPInfo tp;
  auto info = Record(3, INT_MIN, 0, INT_MAX);
  tp.SetTraceInfo(&info);
  EXPECT_EQ(tp.GetXTrace(), static_cast<int>(0x80000000u - 2u * 0x7FFFFFFFu));
}

TEST(TPInfo, RecordRoundTripsAndMirrorsIntoTheTable) {
  CTPInfo tp;
  auto info = Record(2, 40, 30, 1);
  tp.SetTraceInfo(&info);
  _TRACE_INFORMATION out{};
  tp.GetTraceInfo(&out);
  EXPECT_EQ(std::memcmp(&out, &info, sizeof out), 0);
  EXPECT_EQ(At(tp, 2), 11);
  EXPECT_EQ(At(tp, 3), 30);
  EXPECT_EQ(At(tp, 6), 12);
  EXPECT_EQ(At(tp, 10), 13);
  for (int i : {0, 1, 4, 5, 7, 8, 9, 11, 12, 13, 14, 15, 16, 17}) EXPECT_EQ(At(tp, i), 0) << i;
  // The record copy follows the table in its own field order.
  EXPECT_EQ(At(tp, 18), 2);
  EXPECT_EQ(At(tp, 19), 40);
  EXPECT_EQ(At(tp, 25), 1);
}

TEST(TPInfo, NullRecordChangesNothing) {
  CTPInfo tp;
  auto info = Record(3, 40, 30, 2);
  tp.SetTraceInfo(&info);
  tp.SetTraceInfo(nullptr);
  tp.GetTraceInfo(nullptr);
  EXPECT_EQ(tp.GetXTrace(), 36);
}

TEST(TPInfo, AssignmentsCopyEveryMemberAndLeaveTheSource) {
  CTPInfo a;
  auto info = Record(3, 40, 30, 2);
  a.SetTraceInfo(&info);
  CTPInfo b;
  b = a;
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
  CTPInfo c;
  c = std::move(a);
  EXPECT_EQ(std::memcmp(&c, &b, sizeof c), 0);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);  // source unchanged
  CTPInfo& self = c;
  c = std::move(self);
  c = self;
  EXPECT_EQ(std::memcmp(&c, &b, sizeof c), 0);
}

// The entry points behind the Microsoft-ABI export names are the members:
// the constructor also hands back `this`, the assignments their target.
TEST(TPInfo, MicrosoftAbiEntryPointsAreTheMembers) {
  alignas(CTPInfo) unsigned char storage[sizeof(CTPInfo)];
  std::memset(storage, 0x5A, sizeof storage);
  CTPInfo* tp = VornTPInfoMsvcConstruct(reinterpret_cast<CTPInfo*>(storage));
  ASSERT_EQ(static_cast<void*>(tp), static_cast<void*>(storage));
  for (int i = 0; i < 36; ++i) EXPECT_EQ(At(*tp, i), 0) << i;

  auto info = Record(3, 40, 30, 2);
  VornTPInfoMsvcSetTraceInfo(tp, &info);
  EXPECT_EQ(VornTPInfoMsvcGetXTrace(tp), 36);
  EXPECT_EQ(VornTPInfoMsvcGetYTrace(tp), 30);
  _TRACE_INFORMATION out{};
  VornTPInfoMsvcGetTraceInfo(tp, &out);
  EXPECT_EQ(std::memcmp(&out, &info, sizeof out), 0);

  CTPInfo copy;
  EXPECT_EQ(VornTPInfoMsvcCopyAssign(&copy, tp), &copy);
  EXPECT_EQ(std::memcmp(&copy, tp, sizeof copy), 0);
  CTPInfo moved;
  EXPECT_EQ(VornTPInfoMsvcMoveAssign(&moved, tp), &moved);
  EXPECT_EQ(std::memcmp(&moved, &copy, sizeof moved), 0);
  tp->~CTPInfo();
}

}  // namespace
