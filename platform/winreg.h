// A read-only registry. HKEY_LOCAL_MACHINE holds what is read from the hive file named by the
// environment variable VANTRA_REGISTRY (registry-export text), followed, under Drivers\Active,
// by one key per serial adapter found in sysfs (values "PnpId" and "Name"; platform::SetSystemRoot
// in host_facts.h says where sysfs is read). It is read afresh at each open of a root key.
#pragma once

#include "platform/wincore.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

inline const HKEY HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;

// Opens `subKey` (backslash-separated, case-insensitive) below `key`. Results are error codes,
// ERROR_SUCCESS (0) on success; write access is refused with ERROR_ACCESS_DENIED.
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
// Subkey `index` of `key`: `*nameChars` is the capacity in characters on entry, the name's
// length without terminator on return. ERROR_NO_MORE_ITEMS past the end, ERROR_MORE_DATA when
// the name does not fit.
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                   LPWSTR className, LPDWORD classChars, PFILETIME lastWrite);
// String value `valueName`: `*dataBytes` is the capacity in bytes on entry and the value's size
// in bytes, terminator included, on return. ERROR_MORE_DATA when it does not fit (nothing is
// copied), ERROR_FILE_NOT_FOUND when there is no such value.
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataBytes);
LONG RegCloseKey(HKEY key);
