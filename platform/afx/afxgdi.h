// Drawing: device contexts, GDI objects and their wrappers, painted through Qt.
// Handles are opaque; every object is owned by this layer's handle table and checked on use.
#pragma once

#include "platform/afx/afxstr.h"
#include "platform/wintypes.h"

class QPainter;

struct HDC__;
struct HGDIOBJ__;
using HDC = HDC__*;
using HGDIOBJ = HGDIOBJ__*;
using HBITMAP = HGDIOBJ;
using HFONT = HGDIOBJ;
using HBRUSH = HGDIOBJ;
using HPEN = HGDIOBJ;

struct RECT {
    LONG left, top, right, bottom;
};
using LPRECT = RECT*;
using LPCRECT = const RECT*;

class CRect : public RECT {
public:
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
    CRect(const RECT& r) : RECT(r) {}  // NOLINT(google-explicit-constructor)
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    operator LPRECT() { return this; }         // NOLINT(google-explicit-constructor)
    operator LPCRECT() const { return this; }  // NOLINT(google-explicit-constructor)
};

BOOL SetRect(LPRECT rect, int left, int top, int right, int bottom);

// DrawText formats. Without DT_CENTER a text is left-aligned; it starts at the rectangle's top.
inline constexpr UINT DT_CENTER = 0x0001;
inline constexpr UINT DT_WORDBREAK = 0x0010;
inline constexpr UINT DT_CALCRECT = 0x0400;

inline constexpr DWORD SRCCOPY = 0x00CC0020;
inline constexpr int PS_SOLID = 0;
inline constexpr int PS_DASH = 1;
inline constexpr int PS_DOT = 2;
inline constexpr int PS_NULL = 5;
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;

// System-library style calls. A NULL source context means the screen.
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);  // full colour, filled black
HBRUSH CreateSolidBrush(COLORREF color);
HPEN CreatePen(int style, int width, COLORREF color);
BOOL DeleteObject(HGDIOBJ object);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);  // the object it replaces, or NULL
COLORREF SetTextColor(HDC dc, COLORREF color);
COLORREF SetBkColor(HDC dc, COLORREF color);  // text is drawn on it
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
int DrawTextW(HDC dc, LPCWSTR text, int length, LPRECT rect, UINT format);
BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int sx, int sy, DWORD rop);
int GetDeviceCaps(HDC dc, int index);
COLORREF GetPixel(HDC dc, int x, int y);

class CDC;

class CGdiObject {
public:
    CGdiObject() = default;
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;
    virtual ~CGdiObject() { DeleteObject(); }
    BOOL Attach(HGDIOBJ object);
    BOOL DeleteObject();
    operator HGDIOBJ() const { return m_hObject; }  // NOLINT(google-explicit-constructor)

    HGDIOBJ m_hObject = nullptr;
};

class CFont : public CGdiObject {
public:
    // Size in tenths of a point, turned into pixels through `dc`'s resolution (the screen's
    // when NULL). The face "System" stands for the desktop's default sans face.
    BOOL CreatePointFont(int pointSize, LPCWSTR faceName, CDC* dc = nullptr);
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    BOOL CreateSolidBrush(COLORREF color) { return Attach(::CreateSolidBrush(color)); }
};

class CPen : public CGdiObject {
public:
    CPen() = default;
    CPen(int style, int width, COLORREF color) { CreatePen(style, width, color); }
    BOOL CreatePen(int style, int width, COLORREF color) {
        return Attach(::CreatePen(style, width, color));
    }
};

class CBitmap : public CGdiObject {
public:
    BOOL CreateCompatibleBitmap(CDC* dc, int width, int height);
};

class CDC {
public:
    CDC() = default;
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;
    virtual ~CDC();

    BOOL Attach(HDC dc);
    BOOL CreateCompatibleDC(CDC* dc);
    BOOL DeleteDC();
    operator HDC() const { return m_hDC; }  // NOLINT(google-explicit-constructor)

    CFont* SelectObject(CFont* font);
    CBitmap* SelectObject(CBitmap* bitmap);
    CBrush* SelectObject(CBrush* brush);
    CPen* SelectObject(CPen* pen);
    COLORREF SetTextColor(COLORREF color) { return ::SetTextColor(m_hDC, color); }
    COLORREF SetBkColor(COLORREF color) { return ::SetBkColor(m_hDC, color); }
    // Also makes `color` the background colour, as the system's own does.
    void FillSolidRect(LPCRECT rect, COLORREF color);
    void FillSolidRect(int x, int y, int cx, int cy, COLORREF color);
    void FillRect(LPCRECT rect, CBrush* brush) { ::FillRect(m_hDC, rect, brush->m_hObject); }
    int DrawText(LPCWSTR text, int length, LPRECT rect, UINT format) {
        return ::DrawTextW(m_hDC, text, length, rect, format);
    }
    int DrawText(const CString& text, LPRECT rect, UINT format) {
        return DrawText(text, text.GetLength(), rect, format);
    }
    BOOL BitBlt(int x, int y, int width, int height, CDC* source, int sx, int sy, DWORD rop) {
        return ::BitBlt(m_hDC, x, y, width, height, source ? source->m_hDC : nullptr, sx, sy, rop);
    }
    int GetDeviceCaps(int index) const { return ::GetDeviceCaps(m_hDC, index); }
    COLORREF GetPixel(int x, int y) const { return ::GetPixel(m_hDC, x, y); }

    static CDC* FromHandle(HDC dc);  // a temporary wrapper, valid until the context is deleted

    HDC m_hDC = nullptr;

protected:
    bool m_ownsDC = false;
};

namespace afx {
// A context drawing with `painter` on a window during a paint; NULL painter: nothing.
HDC CreatePainterDC(QPainter* painter, int dpiX, int dpiY);
// The painter behind a context (NULL when it has no surface yet).
QPainter* PainterOf(HDC dc);
}  // namespace afx
