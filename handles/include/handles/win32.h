// The Win32 kinds of handle, each with its owner. Built against the system's
// headers on Windows and against winsim's elsewhere (winsim's own code uses
// them too, so this includes nothing of the product).
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#else
#include <winsim/windows.h>
#endif

#include <handles/unique_handle.h>

namespace handles {

// A kernel handle from a call that fails with INVALID_HANDLE_VALUE
// (CreateFileW, CreateToolhelp32Snapshot). Null is no handle either.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle None() { return INVALID_HANDLE_VALUE; }
  static bool Owns(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { CloseHandle(handle); }
};

// A kernel handle from a call that fails with null (CreateEventW,
// CreateMutexW, OpenProcess, OpenProcessToken). INVALID_HANDLE_VALUE, which is
// also the current process's pseudo-handle, is not closed.
struct ObjectHandleTraits : FileHandleTraits {
  static Handle None() { return nullptr; }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle None() { return nullptr; }
  static bool Owns(Handle key) { return key != nullptr; }
  static void Close(Handle key) { RegCloseKey(key); }
};

// The service control manager and its services.
struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle None() { return nullptr; }
  static bool Owns(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { CloseServiceHandle(handle); }
};

// FindFirstFileW's search.
struct FindHandleTraits : FileHandleTraits {
  static void Close(Handle handle) { FindClose(handle); }
};

// SetupAPI's device information set.
struct DeviceInfoSetTraits {
  using Handle = HDEVINFO;
  static Handle None() { return INVALID_HANDLE_VALUE; }
  static bool Owns(Handle set) { return set != nullptr && set != INVALID_HANDLE_VALUE; }
  static void Close(Handle set) { SetupDiDestroyDeviceInfoList(set); }
};

using FileHandle = UniqueHandle<FileHandleTraits>;
using ObjectHandle = UniqueHandle<ObjectHandleTraits>;
using RegKey = UniqueHandle<RegKeyTraits>;
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using DeviceInfoSet = UniqueHandle<DeviceInfoSetTraits>;

}  // namespace handles
