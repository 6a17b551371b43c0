// Which action the first argument selects.
#include "service/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

SCommand Parse(std::vector<const WCHAR*> args) {
  args.insert(args.begin(), L"VornPalmixSvc.exe");
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

void ExpectCommand(std::vector<const WCHAR*> args, ECommand eExpected, int nAction = 0) {
  SCommand command = Parse(args);
  EXPECT_EQ(command.eCommand, eExpected) << (args.empty() ? L"(none)" : args[0]);
  EXPECT_EQ(command.nAction, nAction);
}

TEST(CommandLine, SwitchWordsWithEitherSwitchCharacterAndAnyCase) {
  ExpectCommand({L"-install"}, ECommand::kInstall);
  ExpectCommand({L"-INSTALL"}, ECommand::kInstall);
  ExpectCommand({L"/Install"}, ECommand::kInstall);
  ExpectCommand({L"/REMOVE"}, ECommand::kRemove);
  ExpectCommand({L"-fwchk"}, ECommand::kDiagnostic, 0);
  ExpectCommand({L"/Sleep"}, ECommand::kDiagnostic, 1);
  ExpectCommand({L"-WAKE"}, ECommand::kDiagnostic, 2);
  ExpectCommand({L"-reset"}, ECommand::kDiagnostic, 3);
  ExpectCommand({L"-WotOn"}, ECommand::kDiagnostic, 4);
  ExpectCommand({L"/wotoff"}, ECommand::kDiagnostic, 5);
  ExpectCommand({L"-wotchk"}, ECommand::kWotCheck);
}

TEST(CommandLine, OnlyTheWholeWordOfTheFirstArgumentCounts) {
  ExpectCommand({L"--install"}, ECommand::kUnknownSwitch);
  ExpectCommand({L"-wot"}, ECommand::kUnknownSwitch);
  ExpectCommand({L"-wotoffx"}, ECommand::kUnknownSwitch);
  ExpectCommand({L"-"}, ECommand::kUnknownSwitch);
  ExpectCommand({L"/install "}, ECommand::kUnknownSwitch);
  ExpectCommand({L"-\u0130nstall"}, ECommand::kUnknownSwitch);  // no folding beyond ASCII
  ExpectCommand({L"-install", L"-remove"}, ECommand::kInstall);
  ExpectCommand({L"-bogus", L"-install"}, ECommand::kUnknownSwitch);
}

TEST(CommandLine, NoSwitchMeansServiceStart) {
  ExpectCommand({}, ECommand::kServiceStart);
  ExpectCommand({L"install"}, ECommand::kServiceStart);
  ExpectCommand({L""}, ECommand::kServiceStart);
  ExpectCommand({L"x", L"-install"}, ECommand::kServiceStart);
  const WCHAR* const missing[] = {L"VornPalmixSvc.exe", nullptr};
  EXPECT_EQ(ParseCommandLine(2, missing).eCommand, ECommand::kServiceStart);
  EXPECT_EQ(ParseCommandLine(0, nullptr).eCommand, ECommand::kServiceStart);
}

}  // namespace
