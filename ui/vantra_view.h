// The upgrade view: the warning screen with the board's version, LOAD and the progress bar.
#pragma once

#include "platform/afx/afxwin.h"
#include "platform/host_power.h"
#include "upgrade/firmware_transfer.h"
#include "upgrade/host_guard.h"

class CVantraView : public CFormView, public ITransferView {
protected:
    CVantraView();  // created only from its runtime class
    DECLARE_DYNCREATE(CVantraView)

public:
    enum { IDD = 101 };

    ~CVantraView() override;
    BOOL PreCreateWindow(CREATESTRUCT& cs) override;
    void OnInitialUpdate() override;  // names the progress bar for screen readers

    // ITransferView
    void EnableLoad(BOOL enable) override;
    void ReportLastSystemError() override;
    // No start on a nearly flat battery; from the first block to the verdict the computer is
    // kept from sleeping, shutting down and logging out, and Ctrl-Z waits. The checks run off
    // this thread, which keeps serving the desktop meanwhile.
    bool BeginTransfer() override;
    bool ReadyForFirstBlock() override;
    void EndTransfer(TransferOutcome outcome) override;

    CButton m_btnLoad;
    CProgressCtrl m_progress;

protected:
    CHostGuard m_guard;
    platform::PortalInhibit* m_portal = nullptr;

    void DoDataExchange(CDataExchange* pDX) override;
    void OnDraw(CDC* pDC) override;
    void OnLoad();

    DECLARE_MESSAGE_MAP()
};

// The texts of the screen's four bands; band 2 takes the board's version. The warning and the new
// version come from upgrade/firmware_transfer.h, shared with the terminal.
inline constexpr char kCurrentVersionFormat[] = "Current Version: %s";
inline constexpr char kPressLoadText[] = "Press 'LOAD' to upgrade";
