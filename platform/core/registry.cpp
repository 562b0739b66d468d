#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/host_facts.h"
#include "platform/winreg.h"

struct HKEY__ {};

namespace platform {
namespace {

namespace fs = std::filesystem;

struct RegNode {
    std::u16string name;
    std::vector<std::pair<std::u16string, std::u16string>> values;  // string values only
    std::vector<std::unique_ptr<RegNode>> children;
};

// An open key keeps the tree it was opened from alive, so a later re-read cannot pull it away.
struct OpenKey : HKEY__ {
    std::shared_ptr<RegNode> tree;
    RegNode* node;
};

std::mutex g_mutex;
std::set<OpenKey*> g_openKeys;

char16_t Fold(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

RegNode* Child(RegNode* node, const std::u16string& name, bool create) {
    for (auto& c : node->children) {
        if (SameName(c->name, name)) return c.get();
    }
    if (!create) return nullptr;
    node->children.push_back(std::make_unique<RegNode>());
    node->children.back()->name = name;
    return node->children.back().get();
}

std::vector<std::u16string> SplitPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!part.empty()) parts.push_back(std::move(part));
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(std::move(part));
    return parts;
}

std::u16string Widen(const std::string& s) {
    // UTF-8 to 16-bit; a malformed sequence keeps its bytes as characters of their own.
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned cp = c;
        std::size_t len = 1;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            len = 2;
        } else if (c >= 0xE0 && c < 0xF0 && i + 2 < s.size()) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            len = 3;
        } else if (c >= 0xF0 && c < 0xF8 && i + 3 < s.size()) {
            cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                 ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
            len = 4;
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp);
        }
        i += len;
    }
    return out;
}

// A hive the user named but that cannot be read would otherwise leave the port to chance
// without a word; said once per file, as the registry is read afresh at every open.
void ReportUnreadable(const char* path, int error) {
    static std::set<std::string> reported;
    {
        std::lock_guard lock(g_mutex);
        if (!reported.insert(path).second) return;
    }
    std::fprintf(stderr, "%s: cannot read the VANTRA_REGISTRY file %s: %s\n",
                 program_invocation_short_name, path, std::strerror(error));
}

// The whole file as 16-bit text: UTF-16LE when it starts with that byte-order mark (what the
// registry editor writes), UTF-8 otherwise.
std::u16string ReadText(const char* path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        ReportUnreadable(path, EISDIR);
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ReportUnreadable(path, errno);
        return {};
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::u16string out;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8));
        return out;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    return Widen(bytes);
}

// `"text"` with \\ and \" escapes starting at `pos`; false when unterminated.
bool ParseQuoted(const std::u16string& line, std::size_t& pos, std::u16string& out) {
    if (pos >= line.size() || line[pos] != u'"') return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        char16_t c = line[pos];
        if (c == u'\\' && pos + 1 < line.size()) {
            out += line[++pos];
        } else if (c == u'"') {
            ++pos;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

void LoadHive(RegNode* root, const char* path) {
    const std::u16string text = ReadText(path);
    static const std::u16string kRoot = u"HKEY_LOCAL_MACHINE";
    RegNode* current = nullptr;  // values outside a usable section are skipped
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() &&
               (line.back() == u'\r' || line.back() == u' ' || line.back() == u'\t'))
            line.pop_back();
        std::size_t lead = line.find_first_not_of(u" \t");
        if (lead == std::u16string::npos) continue;
        line.erase(0, lead);
        if (line[0] == u'[') {
            current = nullptr;
            if (line.back() != u']' || line.size() < 2 || line[1] == u'-') continue;
            std::vector<std::u16string> parts = SplitPath(line.substr(1, line.size() - 2));
            if (parts.empty() || !SameName(parts[0], kRoot)) continue;
            current = root;
            for (std::size_t i = 1; i < parts.size(); ++i) current = Child(current, parts[i], true);
            continue;
        }
        if (current == nullptr || line[0] != u'"') continue;  // header, comment, default value
        std::size_t pos = 0;
        std::u16string name, value;
        if (!ParseQuoted(line, pos, name) || pos >= line.size() || line[pos] != u'=') continue;
        ++pos;
        if (!ParseQuoted(line, pos, value) || pos != line.size()) continue;  // not a string
        bool replaced = false;
        for (auto& v : current->values) {
            if (SameName(v.first, name)) {
                v.second = value;
                replaced = true;
            }
        }
        if (!replaced) current->values.emplace_back(std::move(name), std::move(value));
    }
}

// Serial devices with an adapter behind them: a USB device or a PC card that names its maker or
// product.
void LoadSysfs(RegNode* active) {
    unsigned number = 1;
    for (const SerialDevice& device : ScanSerialDevices()) {
        const std::string& maker = device.maker;
        const std::string& product = device.product;
        if (maker.empty() && product.empty()) continue;
        std::u16string key;
        do {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%02u", number++);
            key = Widen(buf);
        } while (Child(active, key, false) != nullptr);
        RegNode* node = Child(active, key, true);
        node->values.emplace_back(u"PnpId", Widen(product.empty() ? maker : maker + "-" + product));
        node->values.emplace_back(u"Name", Widen(device.node));
    }
}

std::shared_ptr<RegNode> BuildTree() {
    auto root = std::make_shared<RegNode>();
    if (const char* hive = std::getenv("VANTRA_REGISTRY"); hive != nullptr && *hive != 0)
        LoadHive(root.get(), hive);
    RegNode* active = Child(Child(root.get(), u"Drivers", true), u"Active", true);
    LoadSysfs(active);
    return root;
}

OpenKey* FindOpen(HKEY key) {
    auto* k = static_cast<OpenKey*>(key);
    return g_openKeys.count(k) ? k : nullptr;
}

}  // namespace

}  // namespace platform

using platform::OpenKey;

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    if (result == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    if (desired & ~(KEY_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS))
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
    std::shared_ptr<platform::RegNode> tree;
    platform::RegNode* node = nullptr;
    if (key == HKEY_LOCAL_MACHINE) {
        tree = platform::BuildTree();
        node = tree.get();
    }
    std::lock_guard lock(platform::g_mutex);
    if (!tree) {
        OpenKey* parent = platform::FindOpen(key);
        if (parent == nullptr) return static_cast<LONG>(ERROR_INVALID_HANDLE);
        tree = parent->tree;
        node = parent->node;
    }
    if (subKey != nullptr) {
        for (const std::u16string& part : platform::SplitPath(subKey)) {
            node = platform::Child(node, part, false);
            if (node == nullptr) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        }
    }
    auto* open = new OpenKey;
    open->tree = std::move(tree);
    open->node = node;
    platform::g_openKeys.insert(open);
    *result = open;
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR, LPDWORD,
                   PFILETIME lastWrite) {
    std::lock_guard lock(platform::g_mutex);
    OpenKey* open = platform::FindOpen(key);
    if (open == nullptr) return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (name == nullptr || nameChars == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    if (index >= open->node->children.size()) return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
    const std::u16string& child = open->node->children[index]->name;
    if (child.size() + 1 > *nameChars) return static_cast<LONG>(ERROR_MORE_DATA);
    std::memcpy(name, child.data(), child.size() * sizeof(WCHAR));
    name[child.size()] = 0;
    *nameChars = static_cast<DWORD>(child.size());
    if (lastWrite) *lastWrite = FILETIME{};
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataBytes) {
    std::lock_guard lock(platform::g_mutex);
    OpenKey* open = platform::FindOpen(key);
    if (open == nullptr) return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (data != nullptr && dataBytes == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    const std::u16string wanted = valueName ? std::u16string(valueName) : std::u16string();
    for (const auto& v : open->node->values) {
        if (!platform::SameName(v.first, wanted)) continue;
        const DWORD needed = static_cast<DWORD>((v.second.size() + 1) * sizeof(WCHAR));
        if (type) *type = REG_SZ;
        if (data == nullptr) {
            if (dataBytes) *dataBytes = needed;
            return static_cast<LONG>(ERROR_SUCCESS);
        }
        if (*dataBytes < needed) {
            *dataBytes = needed;
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        std::memcpy(data, v.second.data(), v.second.size() * sizeof(WCHAR));
        std::memset(data + v.second.size() * sizeof(WCHAR), 0, sizeof(WCHAR));
        *dataBytes = needed;
        return static_cast<LONG>(ERROR_SUCCESS);
    }
    return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
}

LONG RegCloseKey(HKEY key) {
    std::lock_guard lock(platform::g_mutex);
    OpenKey* open = platform::FindOpen(key);
    if (open == nullptr) return static_cast<LONG>(ERROR_INVALID_HANDLE);
    platform::g_openKeys.erase(open);
    delete open;
    return static_cast<LONG>(ERROR_SUCCESS);
}
