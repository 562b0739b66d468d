// The command bar: the frame's one bar, holding its toolbar buttons and a close button.
#pragma once

#include "platform/afx/afxwin.h"

inline constexpr DWORD CBRS_BORDER_BOTTOM = 0x0800;
inline constexpr DWORD CBRS_ALIGN_TOP = 0x2000;
inline constexpr DWORD CBRS_TOP = CBRS_ALIGN_TOP | CBRS_BORDER_BOTTOM;
inline constexpr DWORD CBRS_TOOLTIPS = 0x0010;
inline constexpr DWORD CBRS_FLYBY = 0x0020;
inline constexpr DWORD CBRS_SIZE_FIXED = 0x0002;
inline constexpr DWORD CBRS_ALL = 0x0040FFFF;

class CCeCommandBar : public CWnd {
public:
    CCeCommandBar();
    ~CCeCommandBar() override;

    // A bar across the top of `parent` (a frame: the frame's view moves below it).
    BOOL Create(CWnd* parent, DWORD style = WS_CHILD | WS_VISIBLE | CBRS_TOP,
                UINT id = AFX_IDW_TOOLBAR);
    // Adds the close button (it sends WM_CLOSE to the parent); `flags` asks for nothing more.
    BOOL AddAdornments(DWORD flags = 0);
    // Buttons of toolbar resource `id` with images from bitmap `id`; FALSE when either is absent.
    BOOL LoadToolBar(UINT id);
    DWORD GetBarStyle() const { return m_dwStyle; }
    void SetBarStyle(DWORD style);
    int GetButtonCount() const;
    UINT GetItemID(int index) const;  // 0 for a separator
    CString GetButtonTooltip(int index) const;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    // TB_SETTOOLTIPS: the texts are copied; they name the bar's items from the right end, so
    // with fewer buttons than texts the leading texts (those of menu entries this bar does not
    // carry) are dropped. 0 when the array is missing.
    LRESULT SetTooltips(WPARAM count, LPARAM texts);

    DWORD m_dwStyle = 0;
    std::vector<CString> m_tooltips;
};
