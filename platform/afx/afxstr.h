// CString: the framework's 16-bit string.
#pragma once

#include <string>

#include "platform/wintypes.h"

class CString {
public:
    CString() = default;
    // 8-bit text is widened byte by byte: the program's texts are plain ASCII.
    CString(const char* text);   // NOLINT(google-explicit-constructor)
    CString(const WCHAR* text);  // NOLINT(google-explicit-constructor)
    CString(const WCHAR* text, int length);
    explicit CString(std::u16string text) : m_str(std::move(text)) {}

    operator LPCWSTR() const { return m_str.c_str(); }  // NOLINT(google-explicit-constructor)
    LPCWSTR GetString() const { return m_str.c_str(); }
    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    BOOL LoadString(UINT id);  // from the program's string table; FALSE when missing

    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }

    const std::u16string& str() const { return m_str; }
    std::string ToUtf8() const;

private:
    std::u16string m_str;
};
