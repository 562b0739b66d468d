// Shows the framework's main window with its command bar, form view and progress bar, takes a
// screenshot of it through the display server and checks its pixels. Exit code 0 when the
// screen shows what was drawn.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "tests/ui/test_resources.h"
#include "tests/ui/test_shell.h"

namespace {

int verdict = 2;  // not checked yet

// A view painted the upgrade view's way: into a memory bitmap, then one copy to the screen.
class CProbeView : public CTestView {
    DECLARE_DYNCREATE(CProbeView)
protected:
    void OnDraw(CDC* pDC) override {
        CRect client;
        GetClientRect(client);
        CDC mem;
        mem.CreateCompatibleDC(pDC);
        CBitmap bitmap;
        bitmap.CreateCompatibleBitmap(pDC, client.Width(), client.Height());
        mem.SelectObject(&bitmap);
        mem.FillSolidRect(client, RGB(0, 0, 0));
        mem.FillSolidRect(0, 0, client.Width(), 60, RGB(255, 255, 0));
        CFont font;
        font.CreatePointFont(100, u"System", &mem);
        mem.SelectObject(&font);
        mem.SetTextColor(RGB(255, 255, 0));
        mem.SetBkColor(RGB(0, 0, 0));
        CRect band(0, 80, 240, 100);
        mem.DrawText(CString("New Version: V4.02.N.01"), band, DT_CENTER);
        pDC->BitBlt(0, 0, client.Width(), client.Height(), &mem, 0, 0, SRCCOPY);
    }
};
IMPLEMENT_DYNCREATE(CProbeView, CTestView)

bool Near(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) < 8 && std::abs(a.green() - b.green()) < 8 &&
           std::abs(a.blue() - b.blue()) < 8;
}

int Check(CTestFrame* frame) {
    auto* view = static_cast<CTestView*>(frame->GetActiveView());
    view->m_progress.SetPos(50);
    QWidget* window = frame->GetQWidget();
    QScreen* screen = window->screen();
    QImage shot = screen->grabWindow(window->winId()).toImage();
    if (const char* path = std::getenv("VANTRA_PROBE_SHOT"))
        shot.save(QString::fromLocal8Bit(path));
    const qreal ratio = shot.devicePixelRatio();
    auto at = [&](QWidget* w, int x, int y) {
        QPoint p = w->mapTo(window, QPoint(x, y)) * ratio;
        return shot.pixelColor(p);
    };
    int failures = 0;
    auto expect = [&](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "window probe: %s\n", what);
            ++failures;
        }
    };
    expect(shot.width() >= 240 && shot.height() >= 320, "screenshot has the window's size");
    QWidget* v = view->GetQWidget();
    expect(Near(at(v, 120, 30), QColor(255, 255, 0)), "yellow band at the view's top");
    expect(Near(at(v, 5, 70), QColor(0, 0, 0)), "black below the band");
    int yellowInText = 0;
    for (int x = 0; x < 240; ++x)
        for (int y = 80; y < 100; ++y)
            if (Near(at(v, x, y), QColor(255, 255, 0))) ++yellowInText;
    expect(yellowInText > 20, "centred text drawn");
    QWidget* bar = view->m_progress.GetQWidget();
    expect(at(bar, bar->width() / 4, bar->height() / 2) !=
               at(bar, bar->width() * 3 / 4, bar->height() / 2),
           "progress bar half filled");
    QWidget* commandBar = frame->m_bar.GetQWidget();
    int blue = 0;
    for (int x = 0; x < commandBar->width(); ++x)
        for (int y = 0; y < commandBar->height(); ++y)
            if (Near(at(commandBar, x, y), QColor(0, 0, 255))) ++blue;
    expect(blue >= 100, "toolbar button image shown");
    return failures == 0 ? 0 : 1;
}

class CProbeApp : public CTestApp {
public:
    BOOL InitInstance() override {
        testres::Install();
        if (!StartSingleDocument(*this, RUNTIME_CLASS(CTestDoc), RUNTIME_CLASS(CTestFrame),
                                 RUNTIME_CLASS(CProbeView)))
            return FALSE;
        // Give the display server time to map the window, then look at it and minimise it:
        // the frame's OnSize closes it on SIZE_MINIMIZED, which ends the event loop.
        QTimer::singleShot(700, [this] {
            verdict = Check(static_cast<CTestFrame*>(m_pMainWnd));
            m_pMainWnd->ShowWindow(SW_MINIMIZE);
        });
        QTimer::singleShot(10000, [this] {
            std::fprintf(stderr, "window probe: minimising did not close the window\n");
            verdict = 3;
            if (m_pMainWnd) ::SendMessageW(m_pMainWnd->m_hWnd, WM_CLOSE, 0, 0);
        });
        return TRUE;
    }
    int ExitInstance() override { return verdict; }
};

CProbeApp theApp;

}  // namespace

int main(int argc, char** argv) {
    return AfxWinMain(argc, argv);
}
