// version.dll: the version resource of the running executable, built from
// the project's version. The block is a tree of nodes laid out like Windows'
// VS_VERSIONINFO (length, value length, type, key, value, children), with
// every field 4-byte aligned because WCHAR is 32-bit here:
//   "VS_VERSION_INFO" = VS_FIXEDFILEINFO
//     "StringFileInfo" / "040904B0" / "FileVersion", "ProductVersion" (text)
//     "VarFileInfo" / "Translation" = 0x0409, 0x04B0
#include "../core/paths.h"

#include <winsim/sim/executable.h>
#include <winsim/version.h>

#include <cstring>
#include <string>
#include <vector>

using namespace winsim;

namespace {

struct NodeHeader {
  WORD wLength;       // the whole node with its children, in bytes
  WORD wValueLength;  // characters for text values, bytes for binary ones
  WORD wType;         // 1 text, 0 binary
  WORD wReserved;
};

constexpr WORD kText = 1;
constexpr WORD kBinary = 0;
constexpr DWORD kEnglishUnicode = 0x04B00409;  // language 0x0409, code page 1200 (0x04B0)

void Align(std::vector<BYTE>& block) {
  while (block.size() % 4) block.push_back(0);
}

template <class T>
void Append(std::vector<BYTE>& block, const T* data, size_t bytes) {
  const auto* raw = reinterpret_cast<const BYTE*>(data);
  block.insert(block.end(), raw, raw + bytes);
}

// Writes a node; `children` fills in the nested nodes. Returns nothing: the
// length is patched in when the children are written.
template <class Children>
void Node(std::vector<BYTE>& block, const wchar_t* key, WORD type, const void* value, size_t valueBytes,
          WORD valueLength, Children children) {
  Align(block);
  const size_t start = block.size();
  NodeHeader header{0, valueLength, type, 0};
  Append(block, &header, sizeof header);
  Append(block, key, (std::wcslen(key) + 1) * sizeof(wchar_t));
  Align(block);
  Append(block, static_cast<const BYTE*>(value), valueBytes);
  children();
  Align(block);
  const WORD length = static_cast<WORD>(block.size() - start);
  std::memcpy(block.data() + start, &length, sizeof length);
}

void TextNode(std::vector<BYTE>& block, const wchar_t* key, const std::wstring& text) {
  Node(block, key, kText, text.c_str(), (text.size() + 1) * sizeof(wchar_t), static_cast<WORD>(text.size() + 1), [] {});
}

VS_FIXEDFILEINFO FixedInfo() {
  VS_FIXEDFILEINFO info{};
  info.dwSignature = VS_FFI_SIGNATURE;
  info.dwStrucVersion = VS_FFI_STRUCVERSION;
  info.dwFileVersionMS = (VORN_VERSION_MAJOR << 16) | VORN_VERSION_MINOR;
  info.dwFileVersionLS = (VORN_VERSION_PATCH << 16) | VORN_VERSION_TWEAK;
  info.dwProductVersionMS = info.dwFileVersionMS;
  info.dwProductVersionLS = info.dwFileVersionLS;
  info.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
  info.dwFileOS = VOS_NT_WINDOWS32;
  info.dwFileType = VFT_APP;
  return info;
}

std::vector<BYTE> BuildVersionBlock() {
  const std::wstring version = std::to_wstring(VORN_VERSION_MAJOR) + L"." + std::to_wstring(VORN_VERSION_MINOR) + L"." +
                               std::to_wstring(VORN_VERSION_PATCH) + L"." + std::to_wstring(VORN_VERSION_TWEAK);
  const VS_FIXEDFILEINFO fixed = FixedInfo();
  std::vector<BYTE> block;
  Node(block, L"VS_VERSION_INFO", kBinary, &fixed, sizeof fixed, sizeof fixed, [&] {
    Node(block, L"StringFileInfo", kText, nullptr, 0, 0, [&] {
      Node(block, L"040904B0", kText, nullptr, 0, 0, [&] {
        TextNode(block, L"FileVersion", version);
        TextNode(block, L"ProductVersion", version);
      });
    });
    Node(block, L"VarFileInfo", kText, nullptr, 0, 0, [&] {
      Node(block, L"Translation", kBinary, &kEnglishUnicode, sizeof kEnglishUnicode, sizeof kEnglishUnicode, [] {});
    });
  });
  return block;
}

// The version block of a file, or the Win32 error for a file without one.
DWORD VersionBlockOf(LPCWSTR name, std::vector<BYTE>& block) {
  if (!name) return ERROR_INVALID_PARAMETER;
  paths::Resolved path;
  if (DWORD error = paths::Resolve(CurrentMachine(), name, path)) return error;
  if (!path.exists) return paths::MissingError(path);
  auto& executable = CurrentMachine().Part<Executable>();
  std::error_code ec;
  if (!std::filesystem::equivalent(path.host, executable.HostPath(), ec) || !executable.HasVersionResource())
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  block = BuildVersionBlock();
  return ERROR_SUCCESS;
}

// --- Reading a block ---------------------------------------------------------

struct View {
  const BYTE* data;
  size_t length;  // bytes of this node, children included
};

bool ReadHeader(const View& node, NodeHeader& header) {
  if (node.length < sizeof header) return false;
  std::memcpy(&header, node.data, sizeof header);
  return header.wLength >= sizeof header && header.wLength <= node.length;
}

size_t AlignUp(size_t offset) { return (offset + 3) & ~size_t(3); }

// Offsets of the key, the value and the children inside a node; false when
// the node is malformed.
bool Layout(const View& node, const NodeHeader& header, std::wstring& key, size_t& valueAt, size_t& childrenAt) {
  size_t at = sizeof header;
  for (;;) {
    if (at + sizeof(wchar_t) > header.wLength) return false;
    wchar_t c;
    std::memcpy(&c, node.data + at, sizeof c);
    at += sizeof c;
    if (c == 0) break;
    key.push_back(c);
  }
  valueAt = AlignUp(at);
  const size_t valueBytes = header.wType == kText ? header.wValueLength * sizeof(wchar_t) : header.wValueLength;
  childrenAt = AlignUp(valueAt + valueBytes);
  return valueAt + valueBytes <= header.wLength;
}

bool FindChild(const View& parent, const std::wstring& wanted, View& found) {
  NodeHeader header;
  std::wstring key;
  size_t valueAt, at;
  if (!ReadHeader(parent, header) || !Layout(parent, header, key, valueAt, at)) return false;
  while (at + sizeof(NodeHeader) <= header.wLength) {
    View child{parent.data + at, header.wLength - at};
    NodeHeader childHeader;
    std::wstring childKey;
    size_t childValue, childChildren;
    if (!ReadHeader(child, childHeader) || !Layout(child, childHeader, childKey, childValue, childChildren)) return false;
    child.length = childHeader.wLength;
    if (paths::EqualNoCase(childKey, wanted)) {
      found = child;
      return true;
    }
    at = AlignUp(at + childHeader.wLength);
  }
  return false;
}

std::vector<std::wstring> SplitSubBlock(const wchar_t* subBlock) {
  std::vector<std::wstring> parts;
  std::wstring current;
  for (const wchar_t* c = subBlock; c && *c; ++c) {
    if (*c == L'\\') {
      if (!current.empty()) parts.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(*c);
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

}  // namespace

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle) *lpdwHandle = 0;
  std::vector<BYTE> block;
  if (DWORD error = VersionBlockOf(lptstrFilename, block)) return Fail(error, 0u);
  return static_cast<DWORD>(block.size());
}

// A buffer shorter than the block receives its beginning, with the root's
// length cut to match, so that VerQueryValueW never reads past it.
BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData) {
  if (!lpData) return Fail(ERROR_INVALID_DATA, FALSE);
  std::vector<BYTE> block;
  if (DWORD error = VersionBlockOf(lptstrFilename, block)) return Fail(error, FALSE);
  const size_t copied = std::min<size_t>(dwLen, block.size());
  if (copied < block.size() && copied >= sizeof(WORD)) {
    const WORD length = static_cast<WORD>(copied);
    std::memcpy(block.data(), &length, sizeof length);
  }
  std::memcpy(lpData, block.data(), copied);
  return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  if (!pBlock || !lplpBuffer) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  NodeHeader header;
  std::memcpy(&header, pBlock, sizeof(WORD));
  View node{static_cast<const BYTE*>(pBlock), header.wLength};
  for (const auto& part : SplitSubBlock(lpSubBlock))
    if (!FindChild(node, part, node)) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
  std::wstring key;
  size_t valueAt, childrenAt;
  if (!ReadHeader(node, header) || !Layout(node, header, key, valueAt, childrenAt))
    return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
  *lplpBuffer = const_cast<BYTE*>(node.data + valueAt);
  if (puLen) *puLen = header.wValueLength;
  return TRUE;
}

}  // extern "C"
