#include "ui/shell_setup.h"

#include "ui/res/resource.h"

BOOL StartSingleDocument(CWinApp& app, CRuntimeClass* docClass, CRuntimeClass* frameClass,
                         CRuntimeClass* viewClass) {
    if (!AfxSocketInit()) {
        AfxMessageBox(IDP_SOCKETS_INIT_FAILED, MB_OK, static_cast<UINT>(-1));
        return FALSE;
    }

    app.SetRegistryKey(u"Local AppWizard-Generated Applications");

    auto* docTemplate = new CSingleDocTemplate(IDR_MAINFRAME, docClass, frameClass, viewClass);
    app.AddDocTemplate(docTemplate);

    CCommandLineInfo commandLine;
    app.ParseCommandLine(commandLine);
    if (!app.ProcessShellCommand(commandLine)) return FALSE;

    app.m_pMainWnd->ShowWindow(SW_SHOW);
    ::UpdateWindow(app.m_pMainWnd->m_hWnd);
    return TRUE;
}

namespace {

// A heap copy of string resource `id` (empty when it is missing).
WCHAR* LoadTooltipText(UINT id) {
    WCHAR buffer[256];
    if (LoadStringW(AfxGetInstanceHandle(), id, buffer, 255) == 0) buffer[0] = 0;
    std::size_t length = 0;
    while (buffer[length] != 0) ++length;
    auto* copy = new WCHAR[length + 1];
    for (std::size_t i = 0; i <= length; ++i) copy[i] = buffer[i];
    return copy;
}

}  // namespace

BOOL CreateCommandBar(CFrameWnd* frame, CCeCommandBar& bar, WCHAR* (&tooltips)[kTooltipCount],
                      UINT toolbarId) {
    const UINT tooltipIds[kTooltipCount] = {IDS_FILE, IDS_HELP,  IDS_CUT,
                                            IDS_COPY, IDS_PASTE, IDS_ABOUT};
    for (int i = 0; i < kTooltipCount; ++i) {
        delete[] tooltips[i];
        tooltips[i] = LoadTooltipText(tooltipIds[i]);
    }

    if (!bar.Create(frame, WS_CHILD | WS_VISIBLE | CBRS_TOP, AFX_IDW_TOOLBAR)) return FALSE;
    if (!bar.AddAdornments(0)) return FALSE;
    if (!bar.LoadToolBar(toolbarId)) return FALSE;
    return ::SendMessageW(bar.GetSafeHwnd(), TB_SETTOOLTIPS, kTooltipCount,
                          reinterpret_cast<LPARAM>(tooltips)) != 0;
}

void EnableCommandBarTooltips(CCeCommandBar& bar) {
    bar.SetBarStyle(bar.GetBarStyle() | CBRS_TOOLTIPS | CBRS_FLYBY | CBRS_SIZE_FIXED);
}
