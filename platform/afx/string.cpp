#include <QString>

#include "platform/afx/afxstr.h"
#include "platform/wincore.h"

CString::CString(const char* text) {
    if (text == nullptr) return;
    for (const char* p = text; *p != '\0'; ++p) m_str.push_back(static_cast<unsigned char>(*p));
}

CString::CString(const WCHAR* text) {
    if (text != nullptr) m_str = text;
}

CString::CString(const WCHAR* text, int length) {
    if (text != nullptr && length > 0) m_str.assign(text, static_cast<std::size_t>(length));
}

BOOL CString::LoadString(UINT id) {
    WCHAR buffer[1024];
    int n = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 1024);
    m_str.assign(buffer, static_cast<std::size_t>(n));
    return n > 0 ? TRUE : FALSE;
}

std::string CString::ToUtf8() const {
    return QString::fromUtf16(m_str.data(), static_cast<qsizetype>(m_str.size())).toStdString();
}
