// Pieces shared by this layer's sources; not for the application.
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPointer>
#include <QWidget>

#include "platform/afx/afxwin.h"
#include "platform/resource_formats.h"

namespace afx {

QColor ToQColor(COLORREF color);
QFont DefaultGuiFont();
// The family that stands in for "System": Tahoma when installed (fonts-wine), else the
// desktop's default sans face.
QString SystemFamily();
// `face` as Qt should ask fontconfig for it, "System" mapped to SystemFamily().
QFont FaceFont(LPCWSTR face);
HFONT CreateFontHandle(const QFont& font);
void ForgetTemporaryDC(HDC dc);
QString ToQString(LPCWSTR text);

// Window handles are the widgets' addresses, valid while the widget lives.
HWND HandleOf(QWidget* widget);
QWidget* WidgetOf(HWND hwnd);
CWnd* AttachedWnd(QWidget* widget);
void SetAttached(QWidget* widget, CWnd* wnd);
// Messages to a window with no object of its own behave by the widget's kind.
LRESULT DefaultWidgetProc(QWidget* widget, UINT message, WPARAM wParam, LPARAM lParam);

// The widget behind every framework window: it hands paint, resize, minimise and close to its
// window object.
class Widget : public QWidget {
public:
    explicit Widget(CWnd* owner, QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    void Disown() { owner_ = nullptr; }
    CWnd* Owner() const { return owner_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    CWnd* owner_;
};

// Resources.
const platform::DialogTemplate* FindDialogTemplate(UINT id);
QIcon LoadIconResource(UINT id);
const platform::AcceleratorTable* FindAccelerators(UINT id);

// Dialog units to pixels by the template's font: x·baseX/4, y·baseY/8. The template's point
// size becomes whole pixels; baseY is the face's cell height as the system measures it.
QFont DialogFont(const platform::DialogTemplate& tmpl);
int CellHeight(const QFont& font);
QSize DialogBaseUnits(const QFont& font);
QRect DialogUnitsToPixels(const QFont& font, int x, int y, int cx, int cy);
// Creates the template's controls inside `parent`, offset by `origin` pixels.
void BuildControls(QWidget* parent, const platform::DialogTemplate& tmpl, QPoint origin = {});
int ControlId(QWidget* widget);

// True while CWinApp::Run is in its event loop. Qt's exit() outside a running loop would make
// every later modal loop return at once, so the main frame only ends a loop that runs.
bool MainLoopRunning();

// Puts the framework's windows in the accessibility tree as accessible.cpp has them; done by
// the first framework window, before anyone can ask about it. Repeated calls do nothing.
void InstallAccessibility();

// Sends a notification to the nearest window object around `control`.
void NotifyParent(QWidget* control, UINT code);

}  // namespace afx

// Lets this layer mark a window created when it did not come through CWnd::Create.
class CWndAccess {
public:
    static void SetCreated(CWnd* wnd) { wnd->m_created = true; }
};
