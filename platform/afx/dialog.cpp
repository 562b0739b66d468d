#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "platform/afx/afx_internal.h"
#include "platform/afx/window_gate.h"
#include "platform/message_box.h"

namespace {

// The box behind a CDialog: Esc and the window manager's close become IDCANCEL.
class DialogWidget : public QDialog {
public:
    DialogWidget(CWnd* owner, QWidget* parent) : QDialog(parent), owner_(owner) {}
    void Disown() { owner_ = nullptr; }
    void reject() override {
        if (owner_)
            owner_->SendMessage(WM_COMMAND, IDCANCEL, 0);
        else
            QDialog::reject();
    }

private:
    CWnd* owner_;
};

// The window a box belongs to, brought back first if it was minimised: a box over a minimised
// window may never be seen, and some boxes (a transfer's verdict) must be.
QWidget* ModalParent(CWnd* parent) {
    QWidget* owner = nullptr;
    if (parent && parent->GetQWidget()) {
        owner = parent->GetQWidget()->window();
    } else if (CWnd* main = AfxGetMainWnd(); main && main->IsWindowVisible()) {
        owner = main->GetQWidget();
    }
    if (owner && owner->isMinimized()) {
        owner->showNormal();
        owner->raise();
        owner->activateWindow();
    }
    return owner;
}

}  // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
    const platform::DialogTemplate* tmpl = afx::FindDialogTemplate(m_nIDTemplate);
    if (tmpl == nullptr || m_hWnd != nullptr) return -1;
    auto* dlg = new DialogWidget(this, ModalParent(m_pParentWnd));
    QFont font = afx::DialogFont(*tmpl);
    dlg->setFont(font);
    QRect client = afx::DialogUnitsToPixels(font, 0, 0, tmpl->cx, tmpl->cy);
    QString caption = afx::ToQString(tmpl->caption);
    dlg->setWindowTitle(caption);
    int captionHeight = 0;
    if (tmpl->exStyle & WS_EX_CAPTIONOKBTN) {
        // A desktop title bar cannot carry a button, so the box draws its own caption row:
        // the caption on the left, OK on the right.
        dlg->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        auto* row = new QWidget(dlg);
        row->setObjectName(QStringLiteral("afxCaption"));
        row->setAutoFillBackground(true);
        QPalette pal = row->palette();
        pal.setColor(QPalette::Window, QColor(0, 0, 128));
        pal.setColor(QPalette::WindowText, Qt::white);
        row->setPalette(pal);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(4, 2, 2, 2);
        auto* title = new QLabel(caption, row);
        QFont bold = font;
        bold.setBold(true);
        title->setFont(bold);
        auto* ok = new QPushButton(QStringLiteral("OK"), row);
        ok->setObjectName(QStringLiteral("afxCaptionOk"));
        ok->setFont(bold);
        ok->setAutoDefault(false);
        layout->addWidget(title, 1);
        layout->addWidget(ok);
        captionHeight = row->sizeHint().height();
        row->setGeometry(0, 0, client.width(), captionHeight);
        QObject::connect(ok, &QPushButton::clicked, dlg,
                         [this] { SendMessage(WM_COMMAND, IDOK, 0); });
    }
    dlg->setFixedSize(client.width(), client.height() + captionHeight);
    afx::BuildControls(dlg, *tmpl, QPoint(0, captionHeight));
    AttachWidget(dlg, false);
    CWndAccess::SetCreated(this);
    m_nModalResult = -1;
    OnInitDialog();
    // A box whose OnInitDialog already ended it is not shown.
    if (m_nModalResult == -1) {
        dlg->setModal(true);
        afx::WindowGate::BoxScope box;
        dlg->exec();
    }
    dlg->Disown();
    afx::SetAttached(dlg, nullptr);
    m_hWnd = nullptr;
    delete dlg;
    return m_nModalResult;
}

void CDialog::EndDialog(int result) {
    m_nModalResult = result;
    if (auto* dlg = qobject_cast<QDialog*>(GetQWidget())) dlg->done(result);
}

BOOL CDialog::OnInitDialog() {
    UpdateData();
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData();
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

// --- Message boxes
// --------------------------------------------------------------------------------
int AfxMessageBox(LPCWSTR text, UINT type, UINT) {
    if (qApp == nullptr) return platform::ShowUserMessage(text, type);
    QMessageBox box(ModalParent(nullptr));
    switch (type & 0xF0) {
        case MB_ICONINFORMATION:
            box.setIcon(QMessageBox::Information);
            break;
        case MB_ICONEXCLAMATION:
            box.setIcon(QMessageBox::Warning);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
    CWinApp* app = AfxGetApp();
    box.setWindowTitle(app ? afx::ToQString(app->m_pszAppName) : QString());
    box.setText(afx::ToQString(text));
    // A screen reader announces the box as an alert by its own texts, the message among them.
    box.setAccessibleDescription(box.text());
    // Every box of the program has OK alone, however it is dismissed.
    box.setStandardButtons(QMessageBox::Ok);
    afx::WindowGate::BoxScope loop;
    box.exec();
    return IDOK;
}

int AfxMessageBox(UINT idPrompt, UINT type, UINT helpId) {
    CString text;
    text.LoadString(idPrompt);
    return AfxMessageBox(text, type, helpId);
}
