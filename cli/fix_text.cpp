#include "cli/fix_text.h"

#include <algorithm>
#include <cstring>

namespace doctor {

namespace {

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool IsAlnum(unsigned char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsPlainNameByte(unsigned char c) {
    return IsAlnum(c) || c == '.' || c == '_' || c == '-' || c == ':' || c == '+' || c == ',' ||
           c == '=' || c == '@';
}

}  // namespace

bool IsUsbId(const std::string& id) {
    return id.size() == 4 && std::all_of(id.begin(), id.end(), [](unsigned char c) {
               return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool IsPlainName(const std::string& name, const char* alsoAllowed) {
    return !name.empty() && name != "." && name != ".." &&
           std::all_of(name.begin(), name.end(), [&](unsigned char c) {
               return IsPlainNameByte(c) || (c != 0 && std::strchr(alsoAllowed, c) != nullptr);
           });
}

bool IsDevicePath(const std::string& path) {
    if (path.rfind("/dev/", 0) != 0) return false;
    for (std::size_t from = 5;;) {
        const std::size_t slash = path.find('/', from);
        if (!IsPlainName(path.substr(from, slash - from))) return false;
        if (slash == std::string::npos) return true;
        from = slash + 1;
    }
}

bool IsGroupName(const std::string& name) {
    std::string body = name;
    if (!body.empty() && body.back() == '$') body.pop_back();  // a machine account's group
    return !body.empty() && body.size() <= 32 && body[0] != '-' &&
           std::all_of(
               body.begin(), body.end(),
               [](unsigned char c) { return IsAlnum(c) || c == '_' || c == '.' || c == '-'; }) &&
           !std::all_of(body.begin(), body.end(), [](unsigned char c) { return IsDigit(c); });
}

}  // namespace doctor
