#include <QApplication>
#include <QBuffer>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRawFont>
#include <QToolBar>

#include "platform/afx/afx_internal.h"
#include "platform/afx/afxext.h"

namespace {

template <class T>
const T* FindRecord(UINT id, WORD type, std::size_t* size = nullptr) {
    HRSRC res =
        FindResourceW(nullptr, MAKEINTRESOURCEW(static_cast<WORD>(id)), MAKEINTRESOURCEW(type));
    if (res == nullptr) return nullptr;
    if (size) *size = SizeofResource(nullptr, res);
    return static_cast<const T*>(LockResource(LoadResource(nullptr, res)));
}

QByteArray ResourceBytes(UINT id, WORD type) {
    std::size_t size = 0;
    const char* data = FindRecord<char>(id, type, &size);
    return data ? QByteArray(data, static_cast<qsizetype>(size)) : QByteArray();
}

// Wine's free Tahoma (Debian's fonts-wine) is metric-compatible with the handheld's narrow
// system face, but lies outside fontconfig's folders, so it is registered by file.
constexpr const char* kTahomaFiles[] = {"/usr/share/wine/fonts/tahoma.ttf",
                                        "/usr/share/wine/fonts/tahomabd.ttf"};

QString LoadSystemFamily() {
    const QString tahoma = QStringLiteral("Tahoma");
    if (!QFontDatabase::hasFamily(tahoma)) {
        for (const char* file : kTahomaFiles)
            QFontDatabase::addApplicationFont(QString::fromLatin1(file));
    }
    // DejaVu Sans and its like wrap the warning into one line more than its band holds.
    return QFontDatabase::hasFamily(tahoma) ? tahoma : QStringLiteral("Sans Serif");
}

// A form's push button. Enter presses the focused one as Space does, as on the handheld's forms;
// Qt leaves Enter to a dialog's default button, and a form view has none. Keys the window
// thread's gate drops never get here.
class PushButton final : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        if (enter && (event->modifiers() & ~Qt::KeypadModifier) == 0 && !event->isAutoRepeat()) {
            click();
            return;
        }
        QPushButton::keyPressEvent(event);
    }
};

}  // namespace

QFont afx::DefaultGuiFont() {
    return QApplication::font();
}

QString afx::SystemFamily() {
    static const QString family = LoadSystemFamily();
    return family;
}

QFont afx::FaceFont(LPCWSTR face) {
    QString name = ToQString(face);
    QFont font;
    if (name.isEmpty() || name.compare(QLatin1String("System"), Qt::CaseInsensitive) == 0) {
        // No desktop face is called "System": a Tahoma-metric face, else fontconfig's default
        // sans face, stands in for it.
        font.setFamily(SystemFamily());
    } else {
        font.setFamily(name);
    }
    font.setStyleHint(QFont::SansSerif);
    return font;
}

const platform::DialogTemplate* afx::FindDialogTemplate(UINT id) {
    return FindRecord<platform::DialogTemplate>(id, RT_DIALOG);
}

const platform::AcceleratorTable* afx::FindAccelerators(UINT id) {
    return FindRecord<platform::AcceleratorTable>(id, RT_ACCELERATOR);
}

QIcon afx::LoadIconResource(UINT id) {
    QByteArray bytes = ResourceBytes(id, RT_GROUP_ICON);
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer, "ICO");
    QIcon icon;
    // An .ico holds one image per size; the icon picks the best one for each use.
    for (QImage image = reader.read(); !image.isNull(); image = reader.read()) {
        icon.addPixmap(QPixmap::fromImage(image));
        if (!reader.jumpToNextImage()) break;
    }
    return icon;
}

QFont afx::DialogFont(const platform::DialogTemplate& tmpl) {
    QFont font = FaceFont(tmpl.faceName);
    // Whole pixels, as the system rounds a point size at the screen's resolution: 8 points at
    // 96 dpi is 11 pixels, not 10.67.
    const int points = tmpl.pointSize > 0 ? tmpl.pointSize : 8;
    font.setPixelSize(std::max(1, (points * ::GetDeviceCaps(nullptr, LOGPIXELSY) + 36) / 72));
    return font;
}

int afx::CellHeight(const QFont& font) {
    // The system's cell height is the OS/2 table's Windows ascent plus descent, each rounded
    // at the pixel size. Qt measures by the typographic metrics where a face asks for them,
    // which for Tahoma is two pixels less and would pull the form's controls up over the
    // version lines.
    const QRawFont raw = QRawFont::fromFont(font);
    const QByteArray os2 = raw.isValid() ? raw.fontTable("OS/2") : QByteArray();
    const qreal em = raw.isValid() ? raw.unitsPerEm() : 0;
    if (os2.size() >= 78 && em > 0) {
        auto u16 = [&](int at) {
            return (static_cast<unsigned char>(os2[at]) << 8) |
                   static_cast<unsigned char>(os2[at + 1]);
        };
        const qreal px = raw.pixelSize();
        const int height = qRound(u16(74) * px / em) + qRound(u16(76) * px / em);
        if (height > 0) return height;
    }
    return QFontMetrics(font).height();
}

QSize afx::DialogBaseUnits(const QFont& font) {
    QFontMetrics m(font);
    int width =
        m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((width / 26 + 1) / 2, CellHeight(font));
}

QRect afx::DialogUnitsToPixels(const QFont& font, int x, int y, int cx, int cy) {
    QSize base = DialogBaseUnits(font);
    auto mul = [](int v, int b, int d) { return (v * b + (v >= 0 ? d / 2 : -d / 2)) / d; };
    int left = mul(x, base.width(), 4), top = mul(y, base.height(), 8);
    int right = mul(x + cx, base.width(), 4), bottom = mul(y + cy, base.height(), 8);
    return QRect(left, top, right - left, bottom - top);
}

int afx::ControlId(QWidget* widget) {
    if (!widget) return 0;
    QVariant v = widget->property("afxId");
    return v.isValid() ? v.toInt() : 0;
}

void afx::NotifyParent(QWidget* control, UINT code) {
    for (QWidget* p = control->parentWidget(); p; p = p->parentWidget()) {
        if (CWnd* wnd = AttachedWnd(p)) {
            wnd->SendMessage(
                WM_COMMAND,
                MAKEWPARAM(static_cast<WORD>(ControlId(control)), static_cast<WORD>(code)),
                reinterpret_cast<LPARAM>(HandleOf(control)));
            return;
        }
    }
}

void afx::BuildControls(QWidget* parent, const platform::DialogTemplate& tmpl, QPoint origin) {
    QFont font = DialogFont(tmpl);
    parent->setFont(font);
    for (std::size_t i = 0; i < tmpl.itemCount; ++i) {
        const platform::DialogItem& item = tmpl.items[i];
        QString cls = ToQString(item.className);
        QString text = ToQString(item.text);
        QWidget* w = nullptr;
        if (item.classAtom == 0x0080 ||
            cls.compare(QLatin1String("button"), Qt::CaseInsensitive) == 0) {
            auto* b = new PushButton(text, parent);
            QObject::connect(b, &QPushButton::clicked, b, [b] { NotifyParent(b, BN_CLICKED); });
            w = b;
        } else if (cls == QLatin1String("msctls_progress32")) {
            auto* bar = new QProgressBar(parent);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            w = bar;
        } else if (item.classAtom == 0x0082 ||
                   cls.compare(QLatin1String("static"), Qt::CaseInsensitive) == 0) {
            auto* label = new QLabel(parent);
            if ((item.style & 0x1F) == SS_ICON) {
                UINT iconId = item.textResourceId ? item.textResourceId : text.toUInt();
                label->setPixmap(LoadIconResource(iconId).pixmap(32, 32));
                label->setProperty("afxIconId", iconId);
            } else {
                label->setText(text);
                label->setWordWrap(true);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                if (item.style & SS_NOPREFIX) label->setTextFormat(Qt::PlainText);
            }
            w = label;
        } else {
            w = new QWidget(parent);
        }
        w->setFont(font);
        QRect r = DialogUnitsToPixels(font, item.x, item.y, item.cx, item.cy).translated(origin);
        // An icon static takes the icon's own size, as the system's does.
        if (auto* l = qobject_cast<QLabel*>(w); l && l->property("afxIconId").isValid())
            r.setSize(QSize(32, 32));
        w->setGeometry(r);
        w->setProperty("afxId", item.id);
        w->setEnabled((item.style & WS_DISABLED) == 0);
        w->setVisible((item.style & WS_VISIBLE) != 0);
        HandleOf(w);
    }
}

// --- Command bar
// ------------------------------------------------------------------------------------
CCeCommandBar::CCeCommandBar() = default;

CCeCommandBar::~CCeCommandBar() {
    if (auto* frame = dynamic_cast<CFrameWnd*>(GetParent())) frame->RemoveControlBar(this);
}

BOOL CCeCommandBar::Create(CWnd* parent, DWORD style, UINT id) {
    QWidget* parentWidget = parent ? parent->GetQWidget() : nullptr;
    if (parentWidget == nullptr || m_hWnd != nullptr) return FALSE;
    auto* bar = new QToolBar(parentWidget);
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(16, 16));
    bar->setProperty("afxId", static_cast<int>(id));
    AttachWidget(bar, true);
    m_dwStyle = style & CBRS_ALL;
    if (auto* frame = dynamic_cast<CFrameWnd*>(parent)) frame->AddControlBar(this);
    bar->setVisible((style & WS_VISIBLE) != 0);
    return TRUE;
}

BOOL CCeCommandBar::AddAdornments(DWORD) {
    auto* bar = qobject_cast<QToolBar*>(GetQWidget());
    if (!bar) return FALSE;
    auto* spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    QAction* close = bar->addAction(QStringLiteral("\u00D7"));
    close->setObjectName(QStringLiteral("afxClose"));
    close->setToolTip(QStringLiteral("Close"));
    // A screen reader would read its face, the multiplication sign.
    if (QWidget* button = bar->widgetForAction(close))
        button->setAccessibleName(close->toolTip());
    HWND self = m_hWnd;
    QObject::connect(close, &QAction::triggered, bar, [self] {
        if (CWnd* parent = CWnd::FromHandle(self) ? CWnd::FromHandle(self)->GetParent() : nullptr)
            parent->SendMessage(WM_CLOSE);
    });
    return TRUE;
}

BOOL CCeCommandBar::LoadToolBar(UINT id) {
    auto* bar = qobject_cast<QToolBar*>(GetQWidget());
    const auto* tb = FindRecord<platform::ToolbarTemplate>(id, RT_TOOLBAR);
    QImage strip;
    if (!bar || !tb || !strip.loadFromData(ResourceBytes(id, RT_BITMAP), "BMP")) return FALSE;
    // Buttons go before the adornments, which stay at the right end.
    QAction* before = bar->actions().isEmpty() ? nullptr : bar->actions().first();
    int image = 0;
    HWND self = m_hWnd;
    for (std::size_t i = 0; i < tb->itemCount; ++i) {
        WORD cmd = tb->items[i];
        if (cmd == 0) {
            bar->insertSeparator(before);
            continue;
        }
        QImage face = strip.copy(image * tb->width, 0, tb->width, tb->height);
        ++image;
        auto* action = new QAction(QIcon(QPixmap::fromImage(face)), QString(), bar);
        action->setData(static_cast<int>(cmd));
        QObject::connect(action, &QAction::triggered, bar, [self, cmd] {
            CWnd* me = CWnd::FromHandle(self);
            if (CWnd* parent = me ? me->GetParent() : nullptr)
                parent->SendMessage(WM_COMMAND, cmd, 0);
        });
        bar->insertAction(before, action);
    }
    return TRUE;
}

void CCeCommandBar::SetBarStyle(DWORD style) {
    m_dwStyle = style & CBRS_ALL;
}

int CCeCommandBar::GetButtonCount() const {
    auto* bar = qobject_cast<QToolBar*>(GetQWidget());
    if (!bar) return 0;
    int n = 0;
    for (QAction* a : bar->actions())
        if (a->isSeparator() || a->data().isValid()) ++n;
    return n;
}

UINT CCeCommandBar::GetItemID(int index) const {
    auto* bar = qobject_cast<QToolBar*>(GetQWidget());
    if (!bar) return 0;
    int n = 0;
    for (QAction* a : bar->actions()) {
        if (!(a->isSeparator() || a->data().isValid())) continue;
        if (n++ == index) return a->isSeparator() ? 0 : a->data().toUInt();
    }
    return 0;
}

CString CCeCommandBar::GetButtonTooltip(int index) const {
    auto* bar = qobject_cast<QToolBar*>(GetQWidget());
    if (!bar) return CString();
    int n = 0;
    for (QAction* a : bar->actions()) {
        if (!(a->isSeparator() || a->data().isValid())) continue;
        if (n++ == index) {
            QString s = a->toolTip();
            return CString(reinterpret_cast<const WCHAR*>(s.utf16()), static_cast<int>(s.size()));
        }
    }
    return CString();
}

LRESULT CCeCommandBar::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == TB_SETTOOLTIPS) return SetTooltips(wParam, lParam);
    return CWnd::WindowProc(message, wParam, lParam);
}

LRESULT CCeCommandBar::SetTooltips(WPARAM count, LPARAM texts) {
    auto* bar = qobject_cast<QToolBar*>(GetQWidget());
    auto* array = reinterpret_cast<const WCHAR* const*>(texts);
    if (!bar || (count > 0 && array == nullptr)) return 0;
    m_tooltips.clear();
    for (WPARAM i = 0; i < count; ++i) m_tooltips.emplace_back(array[i]);
    std::vector<QAction*> buttons;
    for (QAction* a : bar->actions())
        if (!a->isSeparator() && a->data().isValid()) buttons.push_back(a);
    std::size_t skip = m_tooltips.size() > buttons.size() ? m_tooltips.size() - buttons.size() : 0;
    for (std::size_t i = 0; i < buttons.size() && skip + i < m_tooltips.size(); ++i) {
        const QString tip = QString::fromStdU16String(m_tooltips[skip + i].str());
        buttons[i]->setToolTip(tip);
        // The button shows only its image: its tooltip is its name for a screen reader.
        if (QWidget* button = bar->widgetForAction(buttons[i])) button->setAccessibleName(tip);
    }
    return TRUE;
}
