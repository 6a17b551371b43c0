// Files as Windows opens, shares, reads, writes and removes them.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class ConformanceFiles : public testing::Test {
 protected:
  // Relative to the current folder, which works on Windows, Wine and winsim alike.
  const std::wstring m_dir = L"conformance-files";

  void SetUp() override {
    Cleanup();
    ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr)) << GetLastError();
  }
  void TearDown() override { Cleanup(); }
  void Cleanup() {
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"MixedCase.txt", L"sub\\inner.txt"}) DeleteFileW(Path(name).c_str());
    RemoveDirectoryW(Path(L"sub").c_str());
    RemoveDirectoryW(m_dir.c_str());
  }
  std::wstring Path(const wchar_t* name) const { return m_dir + L"\\" + name; }

  HANDLE Open(const wchar_t* name, DWORD access, DWORD share, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(Path(name).c_str(), access, share, nullptr, disposition, flags, nullptr);
  }
  void WriteText(const wchar_t* name, const char* text) {
    HANDLE file = Open(name, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, text, (DWORD)strlen(text), &written, nullptr));
    EXPECT_EQ(written, (DWORD)strlen(text));
    CloseHandle(file);
  }
  // Expects the open to fail with `error`.
  void ExpectOpenFails(const wchar_t* name, DWORD access, DWORD share, DWORD disposition, DWORD error) {
    ArmLastError();
    HANDLE file = Open(name, access, share, disposition);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), error);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

TEST_F(ConformanceFiles, CreationDispositionsReportWhatTheyFound) {
  ArmLastError();
  HANDLE file = Open(L"a.txt", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  CloseHandle(file);
  ExpectOpenFails(L"a.txt", GENERIC_WRITE, 0, CREATE_NEW, ERROR_FILE_EXISTS);

  for (DWORD disposition : {OPEN_ALWAYS, CREATE_ALWAYS}) {
    ArmLastError();
    file = Open(L"a.txt", GENERIC_READ, 0, disposition);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS) << disposition;
    CloseHandle(file);
  }
  ArmLastError();
  file = Open(L"b.txt", GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  CloseHandle(file);
}

TEST_F(ConformanceFiles, MissingFilesAndFoldersHaveTheirOwnErrors) {
  ExpectOpenFails(L"missing.txt", GENERIC_READ, 0, OPEN_EXISTING, ERROR_FILE_NOT_FOUND);
  ExpectOpenFails(L"missing.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND);
  ExpectOpenFails(L"nodir\\missing.txt", GENERIC_READ, 0, OPEN_EXISTING, ERROR_PATH_NOT_FOUND);
  ExpectOpenFails(L"nodir\\new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND);
  ExpectOpenFails(L"a.txt", GENERIC_READ, 0, 0, ERROR_INVALID_PARAMETER);
  ExpectOpenFails(L"a.txt", GENERIC_READ, 0, TRUNCATE_EXISTING + 1, ERROR_INVALID_PARAMETER);
  ExpectOpenFails(L"bad<name.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, ERROR_INVALID_NAME);
  ArmLastError();
  EXPECT_EQ(CreateFileW(L"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST_F(ConformanceFiles, CreateAlwaysAndTruncateExistingEmptyTheFile) {
  for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
    WriteText(L"a.txt", "some content");
    HANDLE file = Open(L"a.txt", GENERIC_WRITE, 0, disposition);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = -1;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 0) << disposition;
    CloseHandle(file);
  }
}

TEST_F(ConformanceFiles, NamesMatchWhateverTheCaseAndSeparator) {
  WriteText(L"MixedCase.txt", "x");
  HANDLE file = CreateFileW((m_dir + L"/mixedcase.TXT").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  DWORD attributes = GetFileAttributesW((L"CONFORMANCE-FILES\\MIXEDCASE.TXT"));
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(ConformanceFiles, ASecondOpenMustFitTheSharingOfTheFirst) {
  WriteText(L"a.txt", "x");
  HANDLE writer = Open(L"a.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  // The first handle does not share write access.
  ExpectOpenFails(L"a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, ERROR_SHARING_VIOLATION);
  // The second handle refuses to share the write access the first has.
  ExpectOpenFails(L"a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ERROR_SHARING_VIOLATION);
  // A disposition that would truncate is refused before it changes anything.
  ExpectOpenFails(L"a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS, ERROR_SHARING_VIOLATION);
  HANDLE reader = Open(L"a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  // A handle without data access does not take part in sharing.
  HANDLE query = Open(L"a.txt", 0, 0, OPEN_EXISTING);
  EXPECT_NE(query, INVALID_HANDLE_VALUE);
  CloseHandle(query);
  CloseHandle(reader);
  CloseHandle(writer);
  HANDLE again = Open(L"a.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  EXPECT_TRUE(GetFileSizeEx(again, &size));
  EXPECT_EQ(size.QuadPart, 1);
  CloseHandle(again);
}

TEST_F(ConformanceFiles, HandlesOnlyDoWhatTheirAccessAllows) {
  WriteText(L"a.txt", "abc");
  char buffer[8] = {};
  DWORD count = 0xdeadbeef;
  HANDLE reader = Open(L"a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ArmLastError();
  EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(count, 0u);
  ArmLastError();
  EXPECT_FALSE(FlushFileBuffers(reader));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  HANDLE writer = Open(L"a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  ArmLastError();
  EXPECT_FALSE(ReadFile(writer, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_TRUE(FlushFileBuffers(writer));
  CloseHandle(writer);
  CloseHandle(reader);
  // One that may only append reads nothing, but flushes and answers what a
  // writer asks of it (kernel32 adds the right to read attributes to every open).
  HANDLE appender = Open(L"a.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(appender, INVALID_HANDLE_VALUE);
  ArmLastError();
  EXPECT_FALSE(ReadFile(appender, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_TRUE(WriteFile(appender, "d", 1, &count, nullptr));
  EXPECT_TRUE(FlushFileBuffers(appender));
  BY_HANDLE_FILE_INFORMATION info{};
  EXPECT_TRUE(GetFileInformationByHandle(appender, &info));
  EXPECT_EQ(info.nFileSizeLow, 4u);
  CloseHandle(appender);
}

TEST_F(ConformanceFiles, ReadsAndWritesFollowTheFilePointer) {
  HANDLE file = Open(L"a.txt", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(file, "hello world", 11, &count, nullptr));
  EXPECT_EQ(SetFilePointer(file, 6, nullptr, FILE_BEGIN), 6u);
  char buffer[16];
  memset(buffer, 0xCC, sizeof buffer);
  ASSERT_TRUE(ReadFile(file, buffer, 8, &count, nullptr));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::string(buffer, 5), "world");
  for (size_t i = 5; i < sizeof buffer; ++i) EXPECT_EQ((unsigned char)buffer[i], 0xCC) << i;
  // At the end a synchronous read succeeds with nothing.
  EXPECT_TRUE(ReadFile(file, buffer, 8, &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(SetFilePointer(file, -5, nullptr, FILE_END), 6u);
  ASSERT_TRUE(WriteFile(file, "W", 1, &count, nullptr));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 7u);
  LARGE_INTEGER distance, position;
  distance.QuadPart = 0;
  EXPECT_TRUE(SetFilePointerEx(file, distance, &position, FILE_BEGIN));
  EXPECT_EQ(position.QuadPart, 0);
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "hello World");
  CloseHandle(file);
}

TEST_F(ConformanceFiles, FilePointerRefusesNegativePositionsAndBadMethods) {
  HANDLE file = Open(L"a.txt", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SetFilePointer(file, 10, nullptr, FILE_BEGIN), 10u);
  ArmLastError();
  EXPECT_EQ(SetFilePointer(file, -11, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 10u);  // not moved
  ArmLastError();
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  // A position whose low part is all ones is valid: the last error tells.
  LONG high = -1;
  ArmLastError();
  EXPECT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(high, -1);
  high = 1;
  ArmLastError();
  EXPECT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)NO_ERROR);
  EXPECT_EQ(high, 1);
  LARGE_INTEGER distance, position;
  distance.QuadPart = -1;
  ArmLastError();
  EXPECT_FALSE(SetFilePointerEx(file, distance, &position, FILE_BEGIN));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
  CloseHandle(file);
  ArmLastError();
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ConformanceFiles, OverlappedOffsetsAndEndOfFile) {
  WriteText(L"a.txt", "0123456789");
  HANDLE file = Open(L"a.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  OVERLAPPED overlapped = {};
  overlapped.Offset = 4;
  char buffer[4];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(file, buffer, 3, &count, &overlapped));
  EXPECT_EQ(std::string(buffer, count), "456");
  overlapped.Offset = 10;
  ArmLastError();
  EXPECT_FALSE(ReadFile(file, buffer, 3, &count, &overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_HANDLE_EOF);
  EXPECT_EQ(count, 0u);
  CloseHandle(file);
}

TEST_F(ConformanceFiles, AttributesOfFilesFoldersAndMissingNames) {
  WriteText(L"a.txt", "x");
  EXPECT_NE(GetFileAttributesW(m_dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  DWORD attributes = GetFileAttributesW(Path(L"a.txt").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  ArmLastError();
  EXPECT_EQ(GetFileAttributesW(Path(L"missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW(Path(L"missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  ArmLastError();
  EXPECT_EQ(GetFileAttributesW(Path(L"missing\\deeper").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST_F(ConformanceFiles, FoldersAreCreatedOnceAndRemovedWhenEmpty) {
  ASSERT_TRUE(CreateDirectoryW(Path(L"sub").c_str(), nullptr));
  ArmLastError();
  EXPECT_FALSE(CreateDirectoryW(Path(L"sub").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  ArmLastError();
  EXPECT_FALSE(CreateDirectoryW(Path(L"none\\sub").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  WriteText(L"sub\\inner.txt", "x");
  ArmLastError();
  EXPECT_FALSE(RemoveDirectoryW(Path(L"sub").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
  ArmLastError();
  EXPECT_FALSE(RemoveDirectoryW(Path(L"sub\\inner.txt").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
  EXPECT_TRUE(DeleteFileW(Path(L"sub\\inner.txt").c_str()));
  EXPECT_TRUE(RemoveDirectoryW(Path(L"sub").c_str()));
  ArmLastError();
  EXPECT_FALSE(RemoveDirectoryW(Path(L"sub").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(ConformanceFiles, DeletingNeedsEveryOpenHandleToShareDelete) {
  WriteText(L"a.txt", "x");
  HANDLE holder = Open(L"a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ArmLastError();
  EXPECT_FALSE(DeleteFileW(Path(L"a.txt").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  CloseHandle(holder);
  holder = Open(L"a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileW(Path(L"a.txt").c_str()));
  CloseHandle(holder);
  ArmLastError();
  EXPECT_FALSE(DeleteFileW(Path(L"a.txt").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  ArmLastError();
  EXPECT_FALSE(DeleteFileW(Path(L"none\\a.txt").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  ArmLastError();
  EXPECT_FALSE(DeleteFileW(m_dir.c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

// The way the debug log deletes a file it made: through the handle, which
// needs DELETE access; the name goes once the handle is closed.
TEST_F(ConformanceFiles, ADispositionDeletesTheFileThroughItsHandle) {
  WriteText(L"a.txt", "a");
  HANDLE file = Open(L"a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO disposition{TRUE};
  ArmLastError();
  EXPECT_FALSE(SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  CloseHandle(file);
  file = Open(L"b.txt", GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)));
  CloseHandle(file);
  EXPECT_EQ(GetFileAttributesW(Path(L"b.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesW(Path(L"a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

// A handle that may only append writes each block at the end of the file as
// it is then, whoever else appends meanwhile: no two writers take the same end.
TEST_F(ConformanceFiles, AppendOnlyHandlesNeverOverwriteEachOther) {
  constexpr int kWriters = 4;
  constexpr int kRecords = 2000;
  constexpr DWORD kRecordBytes = 32;
  WriteText(L"a.txt", "");
  auto append = [&](char writer) {
    HANDLE file = Open(L"a.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return;
    for (int i = 0; i < kRecords; ++i) {
      char record[kRecordBytes + 1];
      snprintf(record, sizeof record, "%c %027d\r\n", writer, i);
      DWORD written = 0;
      WriteFile(file, record, kRecordBytes, &written, nullptr);
    }
    CloseHandle(file);
  };
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) writers.emplace_back(append, (char)('A' + i));
  for (auto& writer : writers) writer.join();

  HANDLE reader = Open(L"a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  std::string text(kWriters * kRecords * kRecordBytes + 1, '\0');
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(reader, text.data(), (DWORD)text.size(), &read, nullptr));
  CloseHandle(reader);
  ASSERT_EQ(read, kWriters * kRecords * kRecordBytes);
  int next[kWriters] = {};  // each writer's records arrive in its own order
  for (DWORD at = 0; at < read; at += kRecordBytes) {
    const int writer = text[at] - 'A';
    ASSERT_TRUE(writer >= 0 && writer < kWriters) << at;
    EXPECT_EQ(atoi(text.c_str() + at + 2), next[writer]++) << at;
  }
}

TEST_F(ConformanceFiles, FindListsTheNamesAPatternMatches) {
  WriteText(L"a.txt", "a");
  WriteText(L"MixedCase.txt", "mixed");
  ASSERT_TRUE(CreateDirectoryW(Path(L"sub").c_str(), nullptr));
  WIN32_FIND_DATAW data;
  std::wstring names;
  HANDLE search = FindFirstFileW(Path(L"*.TXT").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    names += std::wstring(data.cFileName) + L"=" + std::to_wstring(data.nFileSizeLow) + L";";
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  } while (FindNextFileW(search, &data));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(search));
  EXPECT_TRUE(names == L"a.txt=1;MixedCase.txt=5;" || names == L"MixedCase.txt=5;a.txt=1;") << names.c_str();
  search = FindFirstFileW(Path(L"s?b").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  FindClose(search);
  ArmLastError();
  EXPECT_EQ(FindFirstFileW(Path(L"*.log").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  ArmLastError();
  EXPECT_EQ(FindFirstFileW(Path(L"missing\\*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST_F(ConformanceFiles, FoldersCannotBeOpenedAsFiles) {
  for (DWORD disposition : {OPEN_EXISTING, CREATE_NEW}) {
    ArmLastError();
    HANDLE file = CreateFileW(m_dir.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, disposition, 0, nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), disposition == CREATE_NEW ? (DWORD)ERROR_FILE_EXISTS : (DWORD)ERROR_ACCESS_DENIED);
  }
}

}  // namespace
