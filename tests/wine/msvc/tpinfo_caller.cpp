// A caller of the executable's exported CTPInfo built as Microsoft's compiler
// builds it: Microsoft's name decoration and calling behaviour, no C runtime,
// only kernel32 and the executable's exports. It checks every exported member
// against the values the host suite expects, prints one line a check and
// closes with "N passed, M failed"; the exit status is the number failed.

typedef unsigned long DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef struct HINSTANCE__* HMODULE;
typedef long long (*FARPROC)();
typedef unsigned long long SIZE_T;

extern "C" {
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD nStdHandle);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE h, const void* data, DWORD size, DWORD* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) HMODULE __stdcall GetModuleHandleW(const wchar_t* name);
__declspec(dllimport) FARPROC __stdcall GetProcAddress(HMODULE module, const char* name);

// The compiler may turn the loops below into calls of these.
void* memset(void* dst, int value, SIZE_T n);
void* memcpy(void* dst, const void* src, SIZE_T n);
}

void* memset(void* dst, int value, SIZE_T n) {
  volatile unsigned char* p = static_cast<unsigned char*>(dst);
  while (n--) *p++ = static_cast<unsigned char>(value);
  return dst;
}
void* memcpy(void* dst, const void* src, SIZE_T n) {
  volatile unsigned char* d = static_cast<unsigned char*>(dst);
  const unsigned char* s = static_cast<const unsigned char*>(src);
  while (n--) *d++ = *s++;
  return dst;
}

// The exported interface as a Microsoft-built caller declares it.
struct _TRACE_INFORMATION {
  int nTraceMode;
  int nXTrace;
  int nYTrace;
  int nTraceValue[4];
  int nTraceAdjust;
};

class __declspec(dllimport) CTPInfo {
 public:
  CTPInfo();
  CTPInfo& operator=(const CTPInfo& other);
  CTPInfo& operator=(CTPInfo&& other);
  int GetXTrace();
  int GetYTrace();
  void GetTraceInfo(_TRACE_INFORMATION* info);
  void SetTraceInfo(_TRACE_INFORMATION* info);

 private:
  int m_nData[36];
};
static_assert(sizeof(CTPInfo) == 144, "the exported object is 36 integers");

namespace {

HANDLE g_out;
int g_passed;
int g_failed;

void Write(const char* text) {
  DWORD n = 0;
  while (text[n]) ++n;
  DWORD written;
  WriteFile(g_out, text, n, &written, nullptr);
}

void WriteInt(int value) {
  char buf[16];
  int i = 15;
  buf[i] = 0;
  unsigned u = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    buf[--i] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (value < 0) buf[--i] = '-';
  Write(buf + i);
}

void Check(bool ok, const char* what) {
  Write(ok ? "ok   " : "FAIL ");
  Write(what);
  Write("\r\n");
  (ok ? g_passed : g_failed)++;
}

int At(const CTPInfo& tp, int index) { return reinterpret_cast<const volatile int*>(&tp)[index]; }

void Fill(CTPInfo& tp, int value) {
  volatile int* p = reinterpret_cast<volatile int*>(&tp);
  for (int i = 0; i < 36; ++i) p[i] = value;
}

bool Same(const CTPInfo& a, const CTPInfo& b) {
  for (int i = 0; i < 36; ++i)
    if (At(a, i) != At(b, i)) return false;
  return true;
}

_TRACE_INFORMATION Record(int mode, int x, int y, int adjust) {
  _TRACE_INFORMATION info;
  info.nTraceMode = mode;
  info.nXTrace = x;
  info.nYTrace = y;
  for (int i = 0; i < 4; ++i) info.nTraceValue[i] = 11 + i;
  info.nTraceAdjust = adjust;
  return info;
}

// The constructor must hand `this` back in the return register: a caller
// that constructs through the export's address relies on it.
void ConstructorReturnsThis() {
  typedef CTPInfo* (*Construct)(void* self);
  auto construct = reinterpret_cast<Construct>(GetProcAddress(GetModuleHandleW(L"VornPalmixSvc.exe"), "??0CTPInfo@@QEAA@XZ"));
  Check(construct != nullptr, "the constructor is exported under its decorated name");
  if (!construct) return;
  alignas(8) unsigned char storage[sizeof(CTPInfo)];
  memset(storage, 0x5A, sizeof storage);
  CTPInfo* made = construct(storage);
  Check(made == reinterpret_cast<CTPInfo*>(storage), "the constructor returns this");
  bool zero = true;
  for (int i = 0; i < 36; ++i) zero = zero && At(*reinterpret_cast<CTPInfo*>(storage), i) == 0;
  Check(zero, "a new object is all zero");
}

void Members() {
  CTPInfo tp;
  Check(tp.GetXTrace() == 0 && tp.GetYTrace() == 0, "GetXTrace and GetYTrace of a new object are 0");

  const struct {
    int mode, adjust, expected;
  } cases[] = {{3, 2, 36}, {2, 2, 38}, {1, 2, 40}, {4, 2, 40}, {0, 2, 40}, {3, -2, 44}, {2, -5, 45}};
  bool reduced = true;
  for (const auto& c : cases) {
    auto info = Record(c.mode, 40, 30, c.adjust);
    tp.SetTraceInfo(&info);
    reduced = reduced && tp.GetXTrace() == c.expected && tp.GetYTrace() == 30;
  }
  Check(reduced, "SetTraceInfo, then GetXTrace is reduced by the mode and GetYTrace is the record's");

  auto extreme = Record(3, -2147483647 - 1, 0, 2147483647);
  tp.SetTraceInfo(&extreme);
  Check(tp.GetXTrace() == static_cast<int>(0x80000000u - 2u * 0x7FFFFFFFu), "extreme values wrap");

  auto info = Record(2, 40, 30, 1);
  tp.SetTraceInfo(&info);
  _TRACE_INFORMATION out = Record(0, 0, 0, 0);
  tp.GetTraceInfo(&out);
  bool same = out.nTraceMode == 2 && out.nXTrace == 40 && out.nYTrace == 30 && out.nTraceAdjust == 1;
  for (int i = 0; i < 4; ++i) same = same && out.nTraceValue[i] == 11 + i;
  Check(same, "GetTraceInfo gives back the record SetTraceInfo stored");
  Check(At(tp, 2) == 11 && At(tp, 3) == 30 && At(tp, 6) == 12 && At(tp, 10) == 13 && At(tp, 18) == 2 &&
            At(tp, 19) == 40 && At(tp, 25) == 1,
        "the record is mirrored into the exported layout");
  tp.SetTraceInfo(nullptr);
  tp.GetTraceInfo(nullptr);
  Check(tp.GetXTrace() == 39, "a null record changes nothing");
}

void Assignments() {
  CTPInfo a;
  auto info = Record(3, 40, 30, 2);
  a.SetTraceInfo(&info);
  CTPInfo b;
  Fill(b, 0x77);
  CTPInfo& copied = (b = a);
  Check(&copied == &b && Same(a, b), "copy assignment copies every member and returns the target");
  CTPInfo c;
  Fill(c, 0x66);
  CTPInfo& moved = (c = static_cast<CTPInfo&&>(a));
  Check(&moved == &c && Same(c, b) && Same(a, b), "move assignment copies every member and leaves the source");
}

}  // namespace

extern "C" void Start() {
  g_out = GetStdHandle(static_cast<DWORD>(-11));
  ConstructorReturnsThis();
  Members();
  Assignments();
  WriteInt(g_passed);
  Write(" passed, ");
  WriteInt(g_failed);
  Write(" failed\r\n");
  ExitProcess(static_cast<unsigned>(g_failed));
}
