// Captures what a routine prints to a wide FILE* stream.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace vorntest {

// What fnWrite(FILE*) printed to a wide stream.
template <class F>
std::wstring CaptureWide(F fnWrite) {
  wchar_t* pBuffer = nullptr;
  size_t nSize = 0;
  FILE* pOut = open_wmemstream(&pBuffer, &nSize);
  fnWrite(pOut);
  std::fclose(pOut);
  std::wstring text(pBuffer, nSize);
  std::free(pBuffer);
  return text;
}

}  // namespace vorntest
