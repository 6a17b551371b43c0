// The wire record: what it holds for each kind of traffic, its order, its
// bound (the oldest entries go, and are counted) and its text.
#include <gtest/gtest.h>

#include <ctlmodel/controller.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "model_test_support.h"
#include "vdev/control.h"

using ctlmodel::Action;
using ctlmodel::EntryKind;
using ctlmodel::Fault;
using ctlmodel::WireEntry;
using ctlmodel::WireRecord;
using namespace ctlmodeltest;

namespace {

std::string Text(const WireEntry& entry) {
  char text[512];
  const size_t length = ctlmodel::FormatWireEntry(entry, text, sizeof(text));
  EXPECT_EQ(length, std::string(text).size());
  return text;
}

std::vector<std::string> Drain(ctlmodel::Controller& model) {
  std::vector<std::string> lines;
  WireEntry entry;
  while (model.Wire().Take(entry)) lines.push_back(std::string(ctlmodel::EntryChannel(entry)) + " " + Text(entry));
  return lines;
}

WireEntry Numbered(uint32_t n) {
  WireEntry entry = {};
  entry.kind = EntryKind::kOut;
  entry.length = 4;
  for (int i = 0; i < 4; ++i) entry.bytes[i] = static_cast<uint8_t>(n >> (8 * i));
  return entry;
}

uint32_t NumberOf(const WireEntry& entry) {
  return entry.bytes[0] | entry.bytes[1] << 8 | entry.bytes[2] << 16 | uint32_t(entry.bytes[3]) << 24;
}

class Wire : public ModelTest {};

TEST_F(Wire, RecordsOutActionAndInInOrder) {
  const ctlmodel::Reaction reaction = Write(CommandReport({0x53, 0x00, 0x00, 0x01}));
  model.NoteInputSent(reaction.answer.bytes, reaction.answer.length);
  Write(CommandReport({0xF0, 0x02, 0x00, 0x01}));
  EXPECT_EQ(Drain(model), (std::vector<std::string>{"wire out 03 00 04 53 00 00 01 ...", "ctl version query",
                                                    "wire in 02 04 52 01 20 30 ...",
                                                    "wire out 03 00 04 F0 02 00 01 ...", "ctl wake-on-touch on"}));
  EXPECT_EQ(model.Wire().Count(), 0u);
}

TEST_F(Wire, EntriesCarryTheCallersClock) {
  model.SetClock(41);
  const ctlmodel::Reaction reaction = Write(CommandReport({0x53, 0x00, 0x00, 0x01}));
  model.SetClock(42);
  model.NoteInputSent(reaction.answer.bytes, reaction.answer.length);
  std::vector<uint64_t> clocks;
  WireEntry entry;
  while (model.Wire().Take(entry)) clocks.push_back(entry.clock);
  EXPECT_EQ(clocks, (std::vector<uint64_t>{41, 41, 42}));
}

TEST_F(Wire, AnAnswerIsRecordedOnlyWhenTheCallerSentIt) {
  model.SetFault(Fault::kLate);
  Write(CommandReport({0x53, 0x00, 0x00, 0x01}));
  EXPECT_EQ(model.Wire().Count(), 2u) << "out and the action; the answer is not due yet";
}

TEST_F(Wire, FailedWritesAreMarked) {
  model.SetFault(Fault::kFailWrite);
  Write(CommandReport({0xF0, 0x02, 0x00, 0x01}));
  model.SetFault(Fault::kStuckWrite);
  Write(CommandReport({0xF0, 0x02, 0x00, 0x00}));
  EXPECT_EQ(Drain(model), (std::vector<std::string>{"wire out 03 00 04 F0 02 00 01 ... (write failed)",
                                                    "wire out 03 00 04 F0 02 ... (write failed)"}));
}

TEST_F(Wire, BridgeFramesAndMalformedReports) {
  model.Init({0x1203, ctlmodel::kBridgePowerProductId, Fault::kNone});
  Bytes frame(64, 0);
  frame[0] = 3, frame[1] = 0x12, frame[5] = 0x80;
  Write(frame);
  Write(CommandReport({0x53, 0x00, 0x00, 0x02}));
  EXPECT_EQ(Drain(model), (std::vector<std::string>{"wire out 03 12 00 00 00 80 ...", "ctl bridge frame",
                                                    "wire out 03 00 04 53 00 00 02 ...", "ctl malformed"}));
}

TEST_F(Wire, TouchReportsAreInputToo) {
  const ctlmodel::Report touch = ctlmodel::Controller::TouchReport(1, 2, true);
  model.NoteInputSent(touch.bytes, touch.length);
  EXPECT_EQ(Drain(model), (std::vector<std::string>{"wire in 01 01 00 01 00 02 00 00 00 00 00 00 00 01"}));
}

TEST(WireRecordBound, KeepsTheNewestAndCountsWhatItDropped) {
  auto record = std::make_unique<WireRecord>();
  record->Clear();
  const uint32_t extra = 44;
  for (uint32_t n = 0; n < WireRecord::kCapacity + extra; ++n) record->Append(Numbered(n));
  EXPECT_EQ(record->Count(), WireRecord::kCapacity);
  EXPECT_EQ(record->Dropped(), extra);
  EXPECT_EQ(record->Total(), WireRecord::kCapacity + extra);
  EXPECT_EQ(NumberOf(record->At(0)), extra);
  EXPECT_EQ(NumberOf(record->At(WireRecord::kCapacity - 1)), WireRecord::kCapacity + extra - 1);
  WireEntry entry;
  for (uint32_t n = extra; n < WireRecord::kCapacity + extra; ++n) {
    ASSERT_TRUE(record->Take(entry));
    ASSERT_EQ(NumberOf(entry), n);
  }
  EXPECT_FALSE(record->Take(entry));
  EXPECT_EQ(record->Count(), 0u);
}

TEST(WireRecordBound, ExactlyFullDropsNothing) {
  auto record = std::make_unique<WireRecord>();
  record->Clear();
  for (uint32_t n = 0; n < WireRecord::kCapacity; ++n) record->Append(Numbered(n));
  EXPECT_EQ(record->Count(), WireRecord::kCapacity);
  EXPECT_EQ(record->Dropped(), 0u);
  EXPECT_EQ(NumberOf(record->At(0)), 0u);
  record->Append(Numbered(WireRecord::kCapacity));
  EXPECT_EQ(record->Dropped(), 1u);
  EXPECT_EQ(NumberOf(record->At(0)), 1u);
}

TEST(WireRecordBound, TakingMakesRoomAndTheRingWrapsInOrder) {
  auto record = std::make_unique<WireRecord>();
  record->Clear();
  WireEntry entry;
  uint32_t next = 0, expected = 0;
  for (int round = 0; round < 5; ++round) {  // fill to 3/4, take half, repeatedly: the ring wraps
    while (record->Count() < WireRecord::kCapacity * 3 / 4) record->Append(Numbered(next++));
    for (size_t i = 0; i < WireRecord::kCapacity / 2; ++i) {
      ASSERT_TRUE(record->Take(entry));
      ASSERT_EQ(NumberOf(entry), expected++);
    }
  }
  EXPECT_EQ(record->Dropped(), 0u);
  EXPECT_EQ(record->Total(), next);
  record->Clear();
  EXPECT_EQ(record->Count(), 0u);
  EXPECT_EQ(record->Total(), 0u);
  EXPECT_FALSE(record->Take(entry));
}

TEST_F(Wire, AControllerThatNobodyReadsKeepsItsNewestTraffic) {
  for (int i = 0; i < 200; ++i) Write(CommandReport({0x54, 0x50, 0x00, 0x01}));  // two entries each
  EXPECT_EQ(model.Wire().Count(), WireRecord::kCapacity);
  EXPECT_EQ(model.Wire().Dropped(), 400 - WireRecord::kCapacity);
  EXPECT_EQ(model.Wire().At(0).kind, EntryKind::kOut);
  EXPECT_EQ(model.Wire().At(WireRecord::kCapacity - 1).kind, EntryKind::kAction);
  EXPECT_EQ(model.GetState().reportsTaken, 200u) << "the record's bound does not limit the controller";
}

// ---- text ----

// The driver's reply to the wire request: its header and the entries taken,
// nothing beyond them (the rest of the buffer is never copied back), and the
// entries lost to overflow counted once.
TEST(WireReply, HoldsTheHeaderAndTheEntriesTakenAndNothingMore) {
  auto record = std::make_unique<WireRecord>();
  auto chunk = std::make_unique<vdev::WireChunk>();
  uint32_t seen = 0;
  for (uint32_t n = 0; n < 40; ++n) record->Append(Numbered(n));
  EXPECT_EQ(vdev::TakeWireChunk(*record, *chunk, seen, 10000000), vdev::WireChunkBytes(32));
  EXPECT_EQ(chunk->more, 8u);

  std::memset(chunk.get(), 0xAA, sizeof(*chunk));
  const uint32_t bytes = vdev::TakeWireChunk(*record, *chunk, seen, 10000000);
  EXPECT_EQ(bytes, offsetof(vdev::WireChunk, entries) + 8 * sizeof(WireEntry));
  EXPECT_EQ(chunk->count, 8u);
  EXPECT_EQ(chunk->more, 0u);
  EXPECT_EQ(chunk->frequency, 10000000u);
  EXPECT_EQ(NumberOf(chunk->entries[7]), 39u);
  const auto* raw = reinterpret_cast<const unsigned char*>(chunk.get());
  EXPECT_TRUE(std::all_of(raw + bytes, raw + sizeof(*chunk), [](unsigned char b) { return b == 0xAA; }));

  for (uint32_t n = 0; n < WireRecord::kCapacity + 5; ++n) record->Append(Numbered(n));
  vdev::TakeWireChunk(*record, *chunk, seen, 10000000);
  EXPECT_EQ(chunk->dropped, 5u);
  EXPECT_EQ(NumberOf(chunk->entries[0]), 5u);
  vdev::TakeWireChunk(*record, *chunk, seen, 10000000);
  EXPECT_EQ(chunk->dropped, 0u);
}

TEST(WireText, TrailingZerosBecomeAnEllipsis) {
  char text[64];
  const uint8_t some[] = {0x03, 0x00, 0xAB, 0x00, 0x00};
  EXPECT_EQ(ctlmodel::FormatReport(some, sizeof(some), text, sizeof(text)), 12u);
  EXPECT_STREQ(text, "03 00 AB ...");
  const uint8_t zeros[] = {0, 0, 0};
  ctlmodel::FormatReport(zeros, sizeof(zeros), text, sizeof(text));
  EXPECT_STREQ(text, "...");
  const uint8_t none[] = {0xFF, 0x10};
  ctlmodel::FormatReport(none, sizeof(none), text, sizeof(text));
  EXPECT_STREQ(text, "FF 10");
  ctlmodel::FormatReport(none, 0, text, sizeof(text));
  EXPECT_STREQ(text, "");
}

TEST(WireText, CutToTheBufferAndAlwaysTerminated) {
  const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44};
  char text[8];
  std::fill(std::begin(text), std::end(text), '#');
  EXPECT_EQ(ctlmodel::FormatReport(bytes, sizeof(bytes), text, 6), 11u) << "the length it needs";
  EXPECT_STREQ(text, "11 22");
  EXPECT_EQ(text[6], '#') << "nothing written past the given size";
  EXPECT_EQ(ctlmodel::FormatReport(bytes, sizeof(bytes), text, 0), 11u);
  EXPECT_EQ(text[0], '1') << "size 0 writes nothing";
}

TEST(WireText, AWholeReportFitsALine) {
  WireEntry entry = {};
  entry.kind = EntryKind::kWriteFailed;
  entry.length = 64;
  for (int i = 0; i < 64; ++i) entry.bytes[i] = 0xFF;
  const std::string text = Text(entry);
  EXPECT_EQ(text.size(), 4 + 64 * 3 - 1 + 15);
  EXPECT_EQ(text.substr(text.size() - 15), " (write failed)");
}

}  // namespace
