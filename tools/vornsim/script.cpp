#include "script.h"

#include <winsim/sim/identity.h>
#include <winsim/user32.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

namespace vornsim {

namespace {

// The longest wait a script may ask for, in simulated seconds (a day).
constexpr uint64_t kMaxWaitSeconds = 24 * 3600;
// Windows limits a local user name to 20 characters and refuses these in it.
constexpr size_t kMaxUserNameChars = 20;
constexpr const char* kUserNameForbidden = "\\/[]:;|=,+*?<>\"@";

// The session changes a script can send, by the names it gives them.
struct SessionEvent {
  const char* name;
  uint32_t type;
};
constexpr SessionEvent kSessionEvents[] = {
    {"console-connect", WTS_CONSOLE_CONNECT}, {"console-disconnect", WTS_CONSOLE_DISCONNECT},
    {"remote-connect", WTS_REMOTE_CONNECT},   {"remote-disconnect", WTS_REMOTE_DISCONNECT},
    {"logon", WTS_SESSION_LOGON},             {"logoff", WTS_SESSION_LOGOFF},
    {"lock", WTS_SESSION_LOCK},               {"unlock", WTS_SESSION_UNLOCK},
};
static_assert(kBareSessionEvent == WTS_SESSION_LOCK);

// "hang" is the bus device's driver hanging on every write, not a fault of
// the controller model.
const char* const kFaultNames[] = {"none",         "mute",       "late",        "wrong-report",
                                   "short-report", "fail-write", "stuck-write", "hang"};

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\f\v";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::optional<uint64_t> ParseUnsigned(const std::string& text, int base, uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
                    ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                    : -1;
    if (digit < 0) return std::nullopt;
    value = value * base + static_cast<uint64_t>(digit);
    if (value > max) return std::nullopt;
  }
  return value;
}

// Decimal, or hexadecimal with "0x".
std::optional<uint32_t> ParseDword(const std::string& text) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  auto value = ParseUnsigned(hex ? text.substr(2) : text, hex ? 16 : 10, 0xFFFFFFFFu);
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

// Up to four hexadecimal digits, with or without "0x".
std::optional<uint16_t> ParseHex16(const std::string& text) {
  bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  auto value = ParseUnsigned(prefixed ? text.substr(2) : text, 16, 0xFFFF);
  if (!value) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

// SECONDS with at most three decimals, as whole simulated milliseconds.
std::optional<uint64_t> ParseSeconds(const std::string& text) {
  size_t dot = text.find('.');
  std::string whole = text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (whole.empty() || (dot != std::string::npos && fraction.empty()) || fraction.size() > 3) return std::nullopt;
  auto seconds = ParseUnsigned(whole, 10, kMaxWaitSeconds);
  if (!seconds) return std::nullopt;
  fraction.resize(3, '0');
  auto millis = ParseUnsigned(fraction, 10, 999);
  if (!millis || (*seconds == kMaxWaitSeconds && *millis)) return std::nullopt;
  return *seconds * 1000 + *millis;
}

bool ValidUserName(const std::string& name) {
  if (name.empty() || name.size() > kMaxUserNameChars) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return c > ' ' && c < 0x7F && std::string_view(kUserNameForbidden).find(c) == std::string_view::npos;
  });
}

using Parser = bool (*)(const std::vector<std::string>& words, Command& command, std::string& error);

bool Fixed(const std::vector<std::string>& words, size_t count, std::string& error) {
  if (words.size() == count) return true;
  error = "unexpected words after the command";
  return false;
}

constexpr const char* kUserNameRule =
    "a user name has 1 to 20 printable ASCII characters and none of \\/[]:;|=,+*?<>\"@";

bool ParseTouch(const std::vector<std::string>& words, Command& command, std::string& error) {
  if (words.size() != 2 && words.size() != 3) return error = "expected: touch N [NAME] | touch delete [NAME]", false;
  if (words.size() == 3) {
    if (!ValidUserName(words[2])) return error = kUserNameRule, false;
    command.name = words[2];
  }
  if (words[1] == "delete") return command.kind = CommandKind::kTouchDelete, true;
  auto value = ParseDword(words[1]);
  if (!value) return error = "the value must be a 32-bit number (decimal or 0x hexadecimal)", false;
  command.kind = CommandKind::kTouchSet;
  command.touchValue = *value;
  return true;
}

// logon NAME, switch NAME, logoff [NAME].
bool ParseUserCommand(const std::vector<std::string>& words, Command& command, std::string& error) {
  static const std::map<std::string, CommandKind> kKinds = {
      {"logon", CommandKind::kLogOn}, {"switch", CommandKind::kSwitch}, {"logoff", CommandKind::kLogOff}};
  command.kind = kKinds.at(words[0]);
  const bool nameOptional = command.kind == CommandKind::kLogOff;
  if (words.size() > 2 || (words.size() == 1 && !nameOptional))
    return error = "expected: " + words[0] + (nameOptional ? " [NAME]" : " NAME"), false;
  if (words.size() == 1) return true;
  if (!ValidUserName(words[1])) return error = kUserNameRule, false;
  command.name = words[1];
  return true;
}

bool ParseSession(const std::vector<std::string>& words, Command& command, std::string& error) {
  if (words.size() < 2 || words.size() > 3 || words[1] != "change") {
    error = "expected: session change [TYPE] (TYPE:";
    for (const auto& event : kSessionEvents) error += std::string(" ") + event.name;
    return error += ")", false;
  }
  command.kind = CommandKind::kSessionChange;
  command.sessionEvent = kBareSessionEvent;
  if (words.size() == 2) return true;
  for (const auto& event : kSessionEvents)
    if (words[2] == event.name) return command.sessionEvent = event.type, true;
  return error = "unknown session change '" + words[2] + "'", false;
}

bool ParseAttachOption(const std::string& word, Command& command, std::string& error) {
  size_t eq = word.find('=');
  std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
  std::optional<uint16_t>* target = key == "fw" ? &command.firmware : key == "pid" ? &command.productId : nullptr;
  if (!target || eq == std::string::npos) return error = "unknown option '" + word + "' (fw=HEX, pid=HEX)", false;
  if (target->has_value()) return error = "option " + key + " given twice", false;
  *target = ParseHex16(value);
  if (!target->has_value()) return error = key + " needs one to four hexadecimal digits", false;
  return true;
}

bool ParseController(const std::vector<std::string>& words, Command& command, std::string& error) {
  if (words.size() < 2) return error = "expected: controller attach|detach|fault", false;
  if (words[1] == "detach") return command.kind = CommandKind::kControllerDetach, Fixed(words, 2, error);
  if (words[1] == "attach") {
    command.kind = CommandKind::kControllerAttach;
    for (size_t i = 2; i < words.size(); ++i)
      if (!ParseAttachOption(words[i], command, error)) return false;
    return true;
  }
  if (words[1] == "fault") {
    if (words.size() != 3 || std::find(std::begin(kFaultNames), std::end(kFaultNames), words[2]) == std::end(kFaultNames))
      return error = "expected: controller fault none|mute|late|wrong-report|short-report|fail-write|stuck-write|hang",
             false;
    command.kind = CommandKind::kControllerFault;
    command.name = words[2];
    return true;
  }
  return error = "expected: controller attach|detach|fault", false;
}

bool ParseWait(const std::vector<std::string>& words, Command& command, std::string& error) {
  if (words.size() != 2) return error = "expected: wait SECONDS", false;
  auto ms = ParseSeconds(words[1]);
  if (!ms) return error = "SECONDS is a number from 0 to 86400 with at most three decimals", false;
  command.kind = CommandKind::kWait;
  command.waitMs = *ms;
  return true;
}

// Commands of two fixed words: each first word with the second words it takes.
const std::map<std::string, std::string> kPairChoices = {
    {"display", " on|off"}, {"power", " suspend|resume"}, {"mutex", " hold|release"}, {"mouse", " attach|detach"}};

bool ParsePair(const std::vector<std::string>& words, Command& command, std::string& error) {
  static const std::map<std::pair<std::string, std::string>, CommandKind> kPairs = {
      {{"display", "on"}, CommandKind::kDisplayOn},      {{"display", "off"}, CommandKind::kDisplayOff},
      {{"power", "suspend"}, CommandKind::kPowerSuspend}, {{"power", "resume"}, CommandKind::kPowerResume},
      {{"mutex", "hold"}, CommandKind::kMutexHold},       {{"mutex", "release"}, CommandKind::kMutexRelease},
      {{"mouse", "attach"}, CommandKind::kMouseAttach},   {{"mouse", "detach"}, CommandKind::kMouseDetach},
  };
  auto it = words.size() >= 2 ? kPairs.find({words[0], words[1]}) : kPairs.end();
  if (it == kPairs.end()) return error = "expected: " + words[0] + kPairChoices.at(words[0]), false;
  command.kind = it->second;
  return Fixed(words, 2, error);
}

bool ParseWords(const std::vector<std::string>& words, Command& command, std::string& error) {
  const std::string& verb = words[0];
  if (verb == "start") return command.kind = CommandKind::kStart, Fixed(words, 1, error);
  if (verb == "stop") return command.kind = CommandKind::kStop, Fixed(words, 1, error);
  if (kPairChoices.count(verb)) return ParsePair(words, command, error);
  static const std::map<std::string, Parser> kParsers = {
      {"touch", ParseTouch},   {"logon", ParseUserCommand},        {"switch", ParseUserCommand},
      {"logoff", ParseUserCommand}, {"session", ParseSession}, {"controller", ParseController},
      {"wait", ParseWait}};
  auto it = kParsers.find(verb);
  if (it == kParsers.end()) return error = "unknown command", false;  // the line, shown with it, starts with it
  return it->second(words, command, error);
}

std::string Folded(const std::string& name) {
  std::string folded = name;
  std::transform(folded.begin(), folded.end(), folded.begin(), [](unsigned char c) { return std::tolower(c); });
  return folded;
}

// Who the script has logged on so far (user names are not case-sensitive):
// the default machine boots with its user logged on.
class LoggedOn {
 public:
  LoggedOn() {
    std::string name;
    for (const wchar_t* c = winsim::Identity::kDefaultUserName; *c; ++c) name += static_cast<char>(*c);
    m_names.insert(Folded(name));
  }
  // False (with the reason) for a logon of a user logged on already.
  bool Follow(const Command& command, std::string& error) {
    if (command.kind == CommandKind::kLogOn && !m_names.insert(Folded(command.name)).second)
      return error = command.name + " is logged on already", false;
    if (command.kind == CommandKind::kLogOff) {
      if (command.name.empty()) m_names.clear();
      else m_names.erase(Folded(command.name));
    }
    return true;
  }

 private:
  std::set<std::string> m_names;
};

}  // namespace

std::string SessionEventName(uint32_t sessionEvent) {
  for (const auto& event : kSessionEvents)
    if (event.type == sessionEvent) return event.name;
  return "type " + std::to_string(sessionEvent);
}

bool ParseScript(const std::string& script, std::vector<Command>& commands, ScriptErrors& errors) {
  std::istringstream in(script);
  std::string raw;
  LoggedOn loggedOn;
  for (int number = 1; std::getline(in, raw); ++number) {
    std::string text = Trim(raw.substr(0, raw.find('#')));
    if (text.empty()) continue;
    Command command{};
    command.text = text;
    command.line = number;
    std::string message;
    if (!ParseWords(Words(text), command, message) || !loggedOn.Follow(command, message)) {
      if (errors.first.size() < ScriptErrors::kKept) errors.first.push_back({number, Trim(raw), message});
      ++errors.count;
      continue;
    }
    commands.push_back(std::move(command));
  }
  return errors.count == 0;
}

const std::string& DemoScript() {
  static const std::string kDemo = R"(# The service starts. After its 5 s start delay the watcher finds the user
# through the token of explorer.exe, reads "Touch" (1) and pushes it.
start
wait 7
# The user switches wake-on-touch off in the settings, then on again.
touch 0
wait 2
touch 1
wait 2
# The screen times out and comes back: the watcher is restarted, and the new
# one pushes the setting again after its start delay.
display off
wait 1
display on
wait 7
# The controller is unplugged. The next display-on finds nothing to push to;
# the pushes are retried every 2 s until the controller is back.
controller detach
wait 1
display on
wait 9
controller attach
wait 5
stop
)";
  return kDemo;
}

}  // namespace vornsim
