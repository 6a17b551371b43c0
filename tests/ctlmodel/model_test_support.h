// Helpers of the model's tests: a fresh controller per test, framed commands
// and the bytes of an answer.
#pragma once

#include <gtest/gtest.h>

#include <ctlmodel/controller.h>

#include "tests/support/CommandReport.h"

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace ctlmodeltest {

using Bytes = std::vector<uint8_t>;

using vorntest::CommandReport;

inline Bytes AnswerOf(const ctlmodel::Reaction& reaction) {
  if (!reaction.answers) return {};
  return Bytes(reaction.answer.bytes, reaction.answer.bytes + reaction.answer.length);
}

inline std::string Hex(const Bytes& bytes) {
  std::string text;
  char two[4];
  for (uint8_t b : bytes) std::snprintf(two, sizeof(two), "%02X ", b), text += two;
  return text;
}

class ModelTest : public testing::Test {
 protected:
  ModelTest() { model.Init(ctlmodel::DefaultConfig()); }

  ctlmodel::Reaction Write(const Bytes& report) {
    return model.TakeOutputReport(ctlmodel::Collection::kVendorOutput, report.data(), report.size());
  }

  ctlmodel::Controller model;
};

}  // namespace ctlmodeltest
