// Names of faults and actions, and the wire record's text, as vornsim and
// vorndev print them.
#include <ctlmodel/controller.h>

namespace ctlmodel {
namespace {

constexpr const char* kFaultNames[kFaultCount] = {"none",         "mute",       "late",        "wrong-report",
                                                  "short-report", "fail-write", "stuck-write", "unplug"};
constexpr const char* kActionNames[kActionCount] = {"wake-on-touch on", "wake-on-touch off", "sleep",
                                                    "wake",             "reset",             "version query",
                                                    "bridge frame",     "malformed"};

size_t Length(const char* text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

// Appends to a zero-terminated text cut to `size`, counting what it needs.
class Writer {
 public:
  Writer(char* text, size_t size) : m_text(text), m_size(size) {
    if (m_size) m_text[0] = 0;
  }
  void Put(char c) {
    if (m_length + 1 < m_size) m_text[m_length] = c, m_text[m_length + 1] = 0;
    ++m_length;
  }
  void Put(const char* text) {
    while (*text) Put(*text++);
  }
  size_t Length() const { return m_length; }

 private:
  char* m_text;
  size_t m_size;
  size_t m_length = 0;
};

void PutReport(Writer& out, const uint8_t* bytes, size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  size_t end = length;
  while (end > 0 && bytes[end - 1] == 0) --end;
  for (size_t i = 0; i < end; ++i) {
    if (i) out.Put(' ');
    out.Put(kDigits[bytes[i] >> 4]);
    out.Put(kDigits[bytes[i] & 0xF]);
  }
  if (end < length) out.Put(end ? " ..." : "...");
}

}  // namespace

const char* FaultName(Fault fault) {
  const int index = static_cast<int>(fault);
  return index >= 0 && index < kFaultCount ? kFaultNames[index] : "?";
}

bool ParseFault(const char* name, size_t length, Fault& fault) {
  if (!name) return false;
  for (int i = 0; i < kFaultCount; ++i) {
    const char* candidate = kFaultNames[i];
    size_t j = 0;
    while (j < length && candidate[j] && candidate[j] == name[j]) ++j;
    if (j == length && !candidate[j]) return fault = static_cast<Fault>(i), true;
  }
  return false;
}

bool ParseFault(const char* name, Fault& fault) { return name && ParseFault(name, Length(name), fault); }

const char* ActionName(Action action) {
  const int index = static_cast<int>(action);
  return index >= 0 && index < kActionCount ? kActionNames[index] : "?";
}

const char* EntryChannel(const WireEntry& entry) { return entry.kind == EntryKind::kAction ? "ctl" : "wire"; }

size_t FormatReport(const uint8_t* bytes, size_t length, char* text, size_t size) {
  Writer out(text, size);
  PutReport(out, bytes, bytes ? length : 0);
  return out.Length();
}

size_t FormatWireEntry(const WireEntry& entry, char* text, size_t size) {
  Writer out(text, size);
  const size_t length = entry.length < kMaxReportBytes ? entry.length : kMaxReportBytes;
  switch (entry.kind) {
    case EntryKind::kAction: out.Put(ActionName(entry.action)); break;
    case EntryKind::kIn: out.Put("in "), PutReport(out, entry.bytes, length); break;
    case EntryKind::kOut: out.Put("out "), PutReport(out, entry.bytes, length); break;
    case EntryKind::kWriteFailed:
      out.Put("out ");
      PutReport(out, entry.bytes, length);
      out.Put(" (write failed)");
      break;
  }
  return out.Length();
}

}  // namespace ctlmodel
