// The registry hive reader: any file named by VANTRA_REGISTRY, then every key and value read
// the way port discovery reads them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host_facts.h"
#include "platform/winreg.h"

namespace {

int g_file = -1;

void Require(bool ok) {
    if (!ok) std::abort();
}

// Reads a value with discovery's capacity of 511 bytes, and again with a tiny one.
void ReadValue(HKEY key, const WCHAR* name) {
    WCHAR buffer[260];
    std::memset(buffer, 0xAB, sizeof buffer);
    DWORD bytes = 511;
    DWORD type = 0;
    const LONG rc =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &bytes);
    if (rc == ERROR_SUCCESS) {
        Require(bytes <= 511 && bytes % 2 == 0 && bytes >= 2);
        Require(buffer[bytes / 2 - 1] == 0);
        Require(reinterpret_cast<const std::uint8_t*>(buffer)[511] == 0xAB);  // nothing past
    }
    bytes = 3;
    RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &bytes);
}

void Walk(HKEY key, int depth, int* budget) {
    ReadValue(key, u"PnpId");
    ReadValue(key, u"Name");
    if (depth >= 12) return;
    WCHAR name[512];
    for (DWORD i = 0; *budget > 0; ++i, --*budget) {
        DWORD chars = 512;
        const LONG rc = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        Require(chars < 512 && name[chars] == 0);
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        Walk(sub, depth + 1, budget);
        Require(RegCloseKey(sub) == ERROR_SUCCESS);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = ::memfd_create("hive", 0);
    const std::string path = "/proc/self/fd/" + std::to_string(g_file);
    ::setenv("VANTRA_REGISTRY", path.c_str(), 1);
    platform::SetSystemRoot("/nonexistent-root");  // the hive alone
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(g_file, 0) != 0 || ::pwrite(g_file, data, size, 0) != ssize_t(size)) return 0;
    HKEY root = nullptr;
    Require(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &root) == ERROR_SUCCESS);
    int budget = 4096;
    Walk(root, 0, &budget);
    Require(RegCloseKey(root) == ERROR_SUCCESS);
    return 0;
}
