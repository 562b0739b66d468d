#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <atomic>
#include <csignal>

#include "link/device_link.h"
#include "platform/afx/afx_internal.h"
#include "platform/message_box.h"
#include "platform/sound.h"
#include "tests/support/modal_boxes.h"
#include "tests/support/wait_until.h"
#include "tests/ui/test_resources.h"
#include "tests/ui/test_shell.h"
#include "transport/serial_transport.h"
#include "ui/vantra_doc.h"
#include "upgrade/firmware_transfer.h"

namespace {

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

class Shell : public ::testing::Test {
protected:
    void SetUp() override {
        testres::Install();
        ShellLog::Get().Reset();
        CTestDoc::failNew = false;
        CTestFrame::toolbarId = 128;
        app_ = std::make_unique<CTestApp>();
    }
    void TearDown() override {
        EndTestApp(app_);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }
    void Start() {
        ASSERT_TRUE(app_->InitInstance());
        ASSERT_NE(app_->m_pMainWnd, nullptr);
    }
    CTestFrame* Frame() { return static_cast<CTestFrame*>(app_->m_pMainWnd); }
    CTestView* View() { return static_cast<CTestView*>(Frame()->GetActiveView()); }
    void Command(UINT id) { Frame()->SendMessage(WM_COMMAND, id, 0); }
    // The command bar's About button.
    QAction* AboutAction() {
        auto* toolbar = qobject_cast<QToolBar*>(Frame()->m_bar.GetQWidget());
        for (QAction* a : toolbar->actions())
            if (a->data().toUInt() == ID_APP_ABOUT) return a;
        return nullptr;
    }

    std::unique_ptr<CTestApp> app_;
};

TEST_F(Shell, TemplateCreatesDocumentFrameAndViewFromTheirRuntimeClasses) {
    Start();
    CTestFrame* frame = Frame();
    EXPECT_TRUE(frame->IsKindOf(RUNTIME_CLASS(CTestFrame)));
    EXPECT_TRUE(frame->IsKindOf(RUNTIME_CLASS(CFrameWnd)));
    ASSERT_NE(frame->GetActiveView(), nullptr);
    EXPECT_TRUE(frame->GetActiveView()->IsKindOf(RUNTIME_CLASS(CTestView)));
    EXPECT_TRUE(frame->GetActiveView()->IsKindOf(RUNTIME_CLASS(CFormView)));
    CDocument* doc = frame->GetActiveDocument();
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(doc->IsKindOf(RUNTIME_CLASS(CTestDoc)));
    EXPECT_FALSE(doc->IsKindOf(RUNTIME_CLASS(CView)));
    EXPECT_STREQ(RUNTIME_CLASS(CVantraDoc)->m_lpszClassName, "CVantraDoc");
    EXPECT_TRUE(RUNTIME_CLASS(CVantraDoc)->IsDerivedFrom(RUNTIME_CLASS(CDocument)));

    QWidget* w = frame->GetQWidget();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Vantra"));
    EXPECT_EQ(w->size(), QSize(240, 320));
    EXPECT_FALSE(w->windowIcon().isNull());
    // The view fills the client area below the command bar.
    CRect bar, view;
    frame->m_bar.GetWindowRect(bar);
    View()->GetWindowRect(view);
    EXPECT_EQ(view.top, bar.bottom);
    EXPECT_EQ(view.Width(), 240);
    EXPECT_EQ(view.bottom - bar.top, 320);
    EXPECT_GT(ShellLog::Get().paints, 0) << "UpdateWindow painted the view";
    EXPECT_EQ(app_->m_pszRegistryKey, CString(u"Local AppWizard-Generated Applications"));
}

TEST_F(Shell, ResizingTheFrameKeepsTheViewFillingIt) {
    Start();
    Frame()->GetQWidget()->resize(300, 400);
    CRect client, view;
    Frame()->GetClientRect(client);
    View()->GetClientRect(view);
    EXPECT_EQ(view.Width(), 300);
    EXPECT_EQ(view.Height(), 400 - Frame()->m_bar.GetQWidget()->height());
    EXPECT_EQ(ShellLog::Get().sizeTypes.back(), SIZE_RESTORED);
}

TEST_F(Shell, AMissingToolbarAbandonsTheFrameAndStartUpFails) {
    CTestFrame::toolbarId = testres::IDS_NOTHING;
    EXPECT_FALSE(app_->InitInstance());
    EXPECT_EQ(app_->m_pMainWnd, nullptr);
    FlushEvents();
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(app_->GetDocTemplates().front()->GetOnlyDocument(), nullptr);
}

TEST_F(Shell, AFailedNewDocumentFailsStartUp) {
    CTestDoc::failNew = true;
    EXPECT_FALSE(app_->InitInstance());
    EXPECT_EQ(app_->m_pMainWnd, nullptr);
}

TEST_F(Shell, CommandsGoToTheViewThenDocumentThenFrameThenApplication) {
    Start();
    auto& calls = ShellLog::Get().calls;
    Command(ID_TEST_VIEW);
    Command(ID_TEST_DOC);
    Command(ID_TEST_FRAME);
    Command(ID_TEST_SHARED);  // the view and the application both map it: the view wins
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_STREQ(calls[0], "view");
    EXPECT_STREQ(calls[1], "doc");
    EXPECT_STREQ(calls[2], "frame");
    EXPECT_STREQ(calls[3], "view");
    // Commands no map names do nothing.
    Command(ID_EDIT_CUT);
    Command(ID_EDIT_UNDO);
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_NE(app_->m_pMainWnd, nullptr);
}

TEST_F(Shell, WindowMessagesReachTheDerivedHandlerThroughTheChainedMaps) {
    Start();
    ShellLog::Get().sizeTypes.clear();
    Frame()->SendMessage(WM_SIZE, SIZE_MAXIMIZED, MAKELPARAM(240, 320));
    ASSERT_EQ(ShellLog::Get().sizeTypes.size(), 1u);
    EXPECT_EQ(ShellLog::Get().sizeTypes[0], SIZE_MAXIMIZED);
    // The form view's map chains to CWnd's, which has no WM_SIZE: the default does nothing.
    EXPECT_EQ(View()->SendMessage(WM_SIZE, 0, 0), 0);
    EXPECT_EQ(::SendMessageW(nullptr, WM_CLOSE, 0, 0), 0) << "no window, no effect";
}

TEST_F(Shell, TheLoadButtonReachesItsHandlerThroughTheMessageMap) {
    Start();
    CTestView* view = View();
    ASSERT_NE(view->m_btnLoad.m_hWnd, nullptr) << "DDX_Control bound the button";
    auto* button = qobject_cast<QPushButton*>(view->m_btnLoad.GetQWidget());
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QStringLiteral("LOAD"));
    EXPECT_TRUE(view->m_btnLoad.IsWindowEnabled());
    FlushEvents();
    PaintCounter counter;
    button->installEventFilter(&counter);
    button->click();
    EXPECT_EQ(ShellLog::Get().loads, 1);
    EXPECT_FALSE(view->m_btnLoad.IsWindowEnabled()) << "the handler disabled it";
    EXPECT_GE(counter.paints, 1) << "shown disabled before the handler returns";
    button->removeEventFilter(&counter);
    button->click();
    EXPECT_EQ(ShellLog::Get().loads, 1) << "a disabled button does not click";
    view->m_btnLoad.EnableWindow(TRUE);
    view->m_btnLoad.Click();
    EXPECT_EQ(ShellLog::Get().loads, 2);
    // From the keyboard, as a screen reader user presses it: Space, and Enter as on a form.
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
        view->m_btnLoad.EnableWindow(TRUE);
        const int before = ShellLog::Get().loads;
        QTest::keyClick(button, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        EXPECT_EQ(ShellLog::Get().loads, before + 1) << "key " << key;
    }
}

// A version reply as the board sends it, its check byte last.
void StoreVersion(const char* version) {
    std::vector<BYTE> payload(version, version + std::strlen(version) + 1);
    BYTE check = kCmdVersion;
    for (BYTE b : payload) check ^= b;
    payload.push_back(check);
    g_DeviceLink.OnFrame(kCmdVersion, payload.data(), static_cast<std::int32_t>(payload.size()));
    BYTE query[kTransmitSlotBytes];
    CSerialTransport::TakeFrame(query, sizeof query);  // the serial query it queues: no board
}

// A screen reader finds the view's painted texts, in reading order, ahead of its controls, and
// a repaint that shows another version shows it the new text.
TEST_F(Shell, AScreenReaderReadsTheViewsTextsAsARepaintShowsThem) {
    Start();
    FlushEvents();
    char version[32];
    g_DeviceLink.GetVersion(version, sizeof version);
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(View()->GetQWidget());
    ASSERT_NE(view, nullptr);
    char current[64];
    std::snprintf(current, sizeof current, kCurrentVersionFormat, version);
    const QString texts[] = {kWarningText, current, kNewVersionText, kPressLoadText};
    ASSERT_EQ(view->childCount(), 6);
    for (int i = 0; i < 4; ++i) {
        QAccessibleInterface* text = view->child(i);
        EXPECT_EQ(text->role(), QAccessible::StaticText);
        EXPECT_EQ(text->text(QAccessible::Name), texts[i]);
        EXPECT_EQ(text->parent(), view);
        EXPECT_EQ(view->indexOfChild(text), i);
    }
    EXPECT_EQ(view->child(1)->rect().size(), QSize(240, 20));
    EXPECT_EQ(view->child(4)->text(QAccessible::Name), QStringLiteral("LOAD"));
    EXPECT_EQ(view->indexOfChild(view->child(4)), 4);
    EXPECT_EQ(view->child(5)->role(), QAccessible::ProgressBar);
    EXPECT_EQ(view->child(5)->text(QAccessible::Name), QStringLiteral("Upgrade progress"));

    StoreVersion("V9.87");
    View()->UpdateWindow();
    EXPECT_EQ(view->childCount(), 6);
    EXPECT_EQ(view->child(1)->text(QAccessible::Name), QStringLiteral("Current Version: V9.87"));

    StoreVersion(version);
}

// The command bar's buttons are named by their tooltips, and a screen reader's press returns at
// once: the About box it opens would otherwise hold the reader until the box was closed.
TEST_F(Shell, AScreenReadersPressOfAToolbarButtonReturnsBeforeItsBoxOpens) {
    Start();
    auto* toolbar = qobject_cast<QToolBar*>(Frame()->m_bar.GetQWidget());
    QAction* close = toolbar->findChild<QAction*>(QStringLiteral("afxClose"));
    QAccessibleInterface* closeButton =
        QAccessible::queryAccessibleInterface(toolbar->widgetForAction(close));
    EXPECT_EQ(closeButton->text(QAccessible::Name), QStringLiteral("Close"));
    QAccessibleInterface* about =
        QAccessible::queryAccessibleInterface(toolbar->widgetForAction(AboutAction()));
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->role(), QAccessible::Button);
    EXPECT_EQ(about->text(QAccessible::Name), QStringLiteral("About"));
    ASSERT_NE(about->actionInterface(), nullptr);
    bool opened = false;
    testutil::OnNextModal([&opened](QWidget* modal) {
        opened = true;
        testutil::PressOk(modal);
    });
    about->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(ShellLog::Get().abouts, 0);
    EXPECT_TRUE(testutil::WaitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return opened;
    }));
    EXPECT_EQ(ShellLog::Get().abouts, 1);
}

TEST_F(Shell, FormControlsSitAtTheirDialogUnitRectanglesForTheDialogFont) {
    Start();
    QWidget* button = View()->m_btnLoad.GetQWidget();
    QWidget* bar = View()->m_progress.GetQWidget();
    // The template's 8-point "System" in whole pixels at the screen's resolution.
    EXPECT_EQ(QFontInfo(button->font()).family(), QFontInfo(QFont(afx::SystemFamily())).family());
    const int dpi = ::GetDeviceCaps(nullptr, LOGPIXELSY);
    EXPECT_EQ(button->font().pixelSize(), (8 * dpi + 36) / 72);
    QFontMetrics m(button->font());
    int baseX = (m.horizontalAdvance(
                     QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                     26 +
                 1) /
                2;
    int baseY = afx::CellHeight(button->font());
    if (afx::SystemFamily() == QLatin1String("Tahoma") && dpi == 96) {
        // The system's own units for 8-point Tahoma: the controls clear the version lines.
        EXPECT_EQ(QSize(baseX, baseY), QSize(6, 13));
        EXPECT_GE(button->geometry().top(), 180);
    }
    auto px = [](int v, int base, int div) { return (v * base + div / 2) / div; };
    EXPECT_EQ(button->geometry(), QRect(QPoint(px(7, baseX, 4), px(112, baseY, 8)),
                                        QPoint(px(124, baseX, 4) - 1, px(126, baseY, 8) - 1)));
    EXPECT_EQ(bar->geometry(), QRect(QPoint(px(7, baseX, 4), px(128, baseY, 8)),
                                     QPoint(px(124, baseX, 4) - 1, px(143, baseY, 8) - 1)));
    EXPECT_EQ(View()->m_progress.GetDlgCtrlID(), 1001);
}

TEST_F(Shell, SetPosMovesTheBarAndRepaintsItWithoutTheEventLoop) {
    Start();
    CProgressCtrl& progress = View()->m_progress;
    auto* bar = qobject_cast<QProgressBar*>(progress.GetQWidget());
    ASSERT_NE(bar, nullptr);
    int lower = -1, upper = -1;
    progress.GetRange(lower, upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 100);
    EXPECT_EQ(progress.GetPos(), 0);

    PaintCounter counter;
    FlushEvents();
    bar->installEventFilter(&counter);
    EXPECT_EQ(progress.SendMessage(PBM_SETPOS, 40), 0) << "returns the previous position";
    EXPECT_EQ(bar->value(), 40);
    EXPECT_GE(counter.paints, 1) << "painted before returning";
    EXPECT_EQ(::SendMessageW(progress.m_hWnd, PBM_SETPOS, 55, 0), 40);
    EXPECT_EQ(progress.SetPos(250), 55);
    EXPECT_EQ(progress.GetPos(), 100) << "kept within the range";
    EXPECT_GE(counter.paints, 3);
    bar->removeEventFilter(&counter);
}

TEST_F(Shell, CommandBarCarriesTheAboutButtonWithItsTooltipAndAClose) {
    Start();
    CCeCommandBar& bar = Frame()->m_bar;
    ASSERT_EQ(bar.GetButtonCount(), 1);
    EXPECT_EQ(bar.GetItemID(0), ID_APP_ABOUT);
    EXPECT_EQ(bar.GetButtonTooltip(0), CString(u"About"));
    EXPECT_EQ(bar.GetBarStyle() & (CBRS_TOOLTIPS | CBRS_FLYBY | CBRS_SIZE_FIXED | CBRS_TOP),
              CBRS_TOOLTIPS | CBRS_FLYBY | CBRS_SIZE_FIXED | CBRS_TOP);
    EXPECT_EQ(::SendMessageW(bar.GetSafeHwnd(), TB_SETTOOLTIPS, 6, 0), 0) << "no texts: failure";
    EXPECT_EQ(::SendMessageW(View()->m_hWnd, TB_SETTOOLTIPS, 0, 0), 0) << "not a command bar";
    EXPECT_FALSE(bar.LoadToolBar(testres::IDS_NOTHING));

    // The adornment closes the frame.
    auto* toolbar = qobject_cast<QToolBar*>(bar.GetQWidget());
    QAction* close = toolbar->findChild<QAction*>(QStringLiteral("afxClose"));
    ASSERT_NE(close, nullptr);
    close->trigger();
    EXPECT_EQ(app_->m_pMainWnd, nullptr);
}

TEST_F(Shell, MessageBoxIsReadAndDismissed) {
    std::u16string text;
    testutil::DismissNextMessageBox(&text);
    EXPECT_EQ(AfxMessageBox(u"Transfer Complete.", MB_ICONINFORMATION), IDOK);
    EXPECT_EQ(text, u"Transfer Complete.");

    QMessageBox::Icon icons[2] = {};
    for (UINT type : {MB_OK, MB_ICONINFORMATION}) {
        testutil::OnNextModal([&icons, type](QWidget* modal) {
            icons[type ? 1 : 0] = static_cast<QMessageBox*>(modal)->icon();
            testutil::PressOk(modal);
        });
        AfxMessageBox(u"x", type, 0);
    }
    EXPECT_EQ(icons[0], QMessageBox::NoIcon);
    EXPECT_EQ(icons[1], QMessageBox::Information);

    testutil::DismissNextMessageBox(&text);
    EXPECT_EQ(AfxMessageBox(104, MB_OK, static_cast<UINT>(-1)), IDOK);
    EXPECT_EQ(text, u"Windows sockets initialization failed.");
}

TEST_F(Shell, AboutBoxOpensTwiceShowingIconAndTitleCentredAndEndsByItsCaptionOk) {
    Start();
    QRect frameRect = Frame()->GetQWidget()->frameGeometry();
    for (int round = 0; round < 2; ++round) {
        bool seen = false;
        testutil::OnNextModal([&](QWidget* modal) {
            seen = true;
            EXPECT_EQ(modal->windowTitle(), QStringLiteral("About Tovrin Vantra"));
            bool titleLine = false, icon = false, caption = false;
            for (QLabel* label : modal->findChildren<QLabel*>()) {
                if (label->text() == QStringLiteral("Tovrin Firmware Vantra Version 1.0"))
                    titleLine = label->isVisible();
                if (label->text() == QStringLiteral("About Tovrin Vantra"))
                    caption = label->isVisible();
                if (!label->pixmap().isNull()) {
                    QImage image = label->pixmap().toImage();
                    icon = image.width() == 32 && image.pixelColor(16, 16) == QColor(255, 0, 0);
                }
            }
            EXPECT_TRUE(titleLine);
            EXPECT_TRUE(icon) << "the 32x32 image of icon 128";
            EXPECT_TRUE(caption) << "the caption row";
            QPoint centre = modal->frameGeometry().center();
            EXPECT_LE((centre - frameRect.center()).manhattanLength(), 2)
                << "centred over the main window";
            EXPECT_TRUE(testutil::PressOk(modal));
        });
        Command(ID_APP_ABOUT);
        EXPECT_TRUE(seen);
    }
    EXPECT_EQ(ShellLog::Get().abouts, 2);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(Shell, TheToolbarButtonOpensTheAboutBox) {
    Start();
    QAction* about = AboutAction();
    ASSERT_NE(about, nullptr);
    testutil::OnNextModal([](QWidget* modal) { testutil::PressOk(modal); });
    about->trigger();
    EXPECT_EQ(ShellLog::Get().abouts, 1);
}

// In the modal state a transfer runs in, commands that come by routes other than the mouse and
// keyboard (a program pressing a button, as an accessibility tool does; a command sent or
// posted to the frame) are refused like input, and work again afterwards.
TEST_F(Shell, CommandsAreRefusedWhileTheFrameIsModal) {
    Start();
    QAction* about = AboutAction();
    ASSERT_NE(about, nullptr);
    auto* load = qobject_cast<QPushButton*>(View()->m_btnLoad.GetQWidget());
    ASSERT_NE(load, nullptr);
    const auto tryEveryRoute = [&] {
        about->trigger();
        load->click();
        Command(ID_TEST_VIEW);
        Frame()->PostMessage(WM_COMMAND, ID_TEST_FRAME, 0);
        FlushEvents();
    };
    auto& log = ShellLog::Get();
    Frame()->BeginModalState();
    bool boxOpened = false;
    testutil::OnNextModal([&](QWidget* modal) {
        boxOpened = true;
        testutil::PressOk(modal);
    });
    tryEveryRoute();
    EXPECT_FALSE(boxOpened);
    testutil::CancelModalWatchers();
    EXPECT_EQ(log.abouts, 0);
    EXPECT_EQ(log.loads, 0);
    EXPECT_TRUE(log.calls.empty());
    Frame()->EndModalState();

    testutil::OnNextModal([](QWidget* modal) { testutil::PressOk(modal); });
    tryEveryRoute();
    EXPECT_EQ(log.abouts, 1);
    EXPECT_EQ(log.loads, 1);
    EXPECT_EQ(log.calls.size(), 2u);
}

TEST_F(Shell, AboutBoxWithoutAMainWindowIsCentredOnTheScreen) {
    QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    testutil::OnNextModal([&](QWidget* modal) {
        EXPECT_LE((modal->frameGeometry().center() - screen.center()).manhattanLength(), 2);
        // Esc ends it as well.
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(modal, &esc);
    });
    class Probe : public CDialog {
    public:
        Probe() : CDialog(100) {}
        BOOL OnInitDialog() override {
            CDialog::OnInitDialog();
            CenterWindow();
            return TRUE;
        }
    } dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(CDialog(testres::IDS_NOTHING).DoModal(), -1) << "no template";
}

TEST_F(Shell, SavingAndOpeningMoveNoData) {
    Start();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString saved = dir.filePath(QStringLiteral("saved.vantra"));
    CDocument* doc = Frame()->GetActiveDocument();

    testutil::OnNextModal([&](QWidget* modal) { EXPECT_TRUE(testutil::ChooseFile(modal, saved)); });
    Command(ID_FILE_SAVE);
    ASSERT_TRUE(QFile::exists(saved));
    EXPECT_EQ(QFile(saved).size(), 0) << "nothing of the program's own is written";

    QString other = dir.filePath(QStringLiteral("other.vantra"));
    {
        QFile f(other);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a document of ours");
    }
    testutil::OnNextModal([&](QWidget* modal) { EXPECT_TRUE(testutil::ChooseFile(modal, other)); });
    Command(ID_FILE_OPEN);
    EXPECT_EQ(Frame()->GetActiveDocument(), doc) << "the one document is reused";
    EXPECT_EQ(doc->GetPathName().ToUtf8(), other.toStdString());
    QFile f(other);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("not a document of ours")) << "opening leaves the file alone";
    EXPECT_EQ(Frame()->GetQWidget()->windowTitle(), QStringLiteral("other.vantra - Vantra"));

    // A file that cannot be read is reported, and the document stays.
    std::u16string text;
    testutil::DismissNextMessageBox(&text);
    EXPECT_EQ(app_->OpenDocumentFile(u"/nonexistent/x.vantra"), nullptr);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(Frame()->GetActiveDocument(), doc);
}

TEST_F(Shell, CtrlKeysRunTheAcceleratorTablesCommands) {
    Start();
    CDocument* doc = Frame()->GetActiveDocument();
    QWidget* target = View()->m_btnLoad.GetQWidget();
    auto press = [target](Qt::Key key) {
        QKeyEvent e(QEvent::KeyPress, key, Qt::ControlModifier);
        QApplication::sendEvent(target, &e);
    };
    press(Qt::Key_X);  // cut: no handler, nothing happens
    press(Qt::Key_N);  // new: the framework's handler reuses the document
    EXPECT_EQ(Frame()->GetActiveDocument(), doc);
    EXPECT_EQ(ShellLog::Get().loads, 0);
    press(Qt::Key_Q);  // exit
    EXPECT_EQ(app_->m_pMainWnd, nullptr);
}

TEST_F(Shell, MinimisingReachesOnSizeAndClosingEndsTheEventLoop) {
    Start();
    QTimer::singleShot(0, [this] { Frame()->GetQWidget()->showMinimized(); });
    bool timedOut = false;
    QTimer guard;  // stops with the test
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&timedOut] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    guard.start(5000);
    EXPECT_EQ(app_->Run(), 0) << "ExitInstance's code";
    auto& types = ShellLog::Get().sizeTypes;
    EXPECT_NE(std::find(types.begin(), types.end(), SIZE_MINIMIZED), types.end());
    EXPECT_EQ(app_->m_pMainWnd, nullptr);
    EXPECT_FALSE(timedOut);
}

TEST_F(Shell, ClosingTheMainWindowOutsideTheLoopLeavesLaterBoxesWorking) {
    Start();
    Frame()->SendMessage(WM_CLOSE);
    EXPECT_EQ(app_->m_pMainWnd, nullptr);
    std::u16string text;
    testutil::DismissNextMessageBox(&text);
    AfxMessageBox(u"still modal");
    EXPECT_EQ(text, u"still modal");
}

TEST_F(Shell, WaitCursorShowsAndGoes) {
    app_->DoWaitCursor(1);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    app_->DoWaitCursor(-1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    app_->DoWaitCursor(-1);  // unbalanced: ignored
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

std::atomic<int> threadRuns{0};
UINT CountRun(LPVOID param) {
    threadRuns += *static_cast<int*>(param);
    return 7;
}

TEST(Threads, BeginThreadSuspendedRunsOnlyOnceResumed) {
    int step = 3;
    CWinThread* t =
        AfxBeginThread(CountRun, &step, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t->m_hThread, 50), WAIT_TIMEOUT);
    EXPECT_EQ(threadRuns.load(), 0);
    EXPECT_EQ(ResumeThread(t->m_hThread), 1u);
    EXPECT_EQ(WaitForSingleObject(t->m_hThread, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(threadRuns.load(), 3);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t->m_hThread, &code));
    EXPECT_EQ(code, 7u);
}

TEST(Sockets, SocketInitIgnoresBrokenPipes) {
    EXPECT_TRUE(AfxSocketInit());
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
}

}  // namespace

namespace {

DWORD ReportFromWorker(LPVOID) {
    platform::ShowUserMessage(u"Cannot Open Connection To Board.", MB_OK);
    return 0;
}

DWORD BeepFromWorker(LPVOID) {
    MessageBeep(MB_ICONEXCLAMATION);
    return 0;
}

class Hooks : public ::testing::Test {
protected:
    void SetUp() override { AfxInstallPlatformHooks(); }
    void TearDown() override { AfxRemovePlatformHooks(); }
};

TEST_F(Hooks, FailuresBelowTheUserInterfaceShowARealBoxFromAnyThread) {
    std::u16string text;
    testutil::DismissNextMessageBox(&text);
    EXPECT_EQ(platform::ShowUserMessage(u"Cannot Open Connection To Board.", MB_OK), IDOK);
    EXPECT_EQ(text, u"Cannot Open Connection To Board.");

    text.clear();
    testutil::DismissNextMessageBox(&text);
    HANDLE worker = CreateThread(nullptr, 0, ReportFromWorker, nullptr, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    // The box is shown by this (the user-interface) thread, so keep its events flowing; bounded
    // by time, not by rounds, since a round costs nothing until the worker has posted the box.
    for (int i = 0; i < 500 && WaitForSingleObject(worker, 10) == WAIT_TIMEOUT; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0);
    EXPECT_EQ(text, u"Cannot Open Connection To Board.");
    CloseHandle(worker);
    EXPECT_TRUE(platform::TakeRecordedMessages().empty());
}

TEST_F(Hooks, BeepingFromAWorkerNeverWaitsForTheUserInterface) {
    unsigned long before = platform::BeepCount(MB_ICONEXCLAMATION);
    HANDLE worker = CreateThread(nullptr, 0, BeepFromWorker, nullptr, 0, nullptr);
    // This thread does not run its event loop meanwhile.
    EXPECT_EQ(WaitForSingleObject(worker, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION), before + 1);
    QCoreApplication::processEvents();  // the posted beep plays here
    CloseHandle(worker);
}

}  // namespace
