// Checks the run command's screenshots by their pixels:
//   demo_check warning.png progress.png outcome.png [warning-2x.png]
// The expected layout comes from the program's own upgrade form and fonts, so the check follows
// the form if it changes. Prints one line per check; exits 1 when any fails.
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QRect>
#include <QTextLayout>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "platform/afx/afx_internal.h"
#include "platform/resources.h"
#include "ui/res/resource.h"
#include "ui/res/vantra_resources.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what, const QString& detail = {}) {
    std::printf("%s: %s%s%s\n", ok ? "ok" : "FAIL", what, detail.isEmpty() ? "" : " — ",
                qPrintable(detail));
    if (!ok) ++g_failures;
}

bool IsBlack(QRgb p) {
    return qRed(p) < 40 && qGreen(p) < 40 && qBlue(p) < 40;
}
bool IsYellow(QRgb p) {
    return qRed(p) > 150 && qGreen(p) > 150 && qBlue(p) < 90;
}
// Button faces, the empty bar and dialog backgrounds: light and without colour.
bool IsLightGrey(QRgb p) {
    const int lo = std::min({qRed(p), qGreen(p), qBlue(p)});
    const int hi = std::max({qRed(p), qGreen(p), qBlue(p)});
    return lo > 150 && hi - lo < 40;
}
bool IsDark(QRgb p) {
    return qGray(p) < 90;
}

int Count(const QImage& image, QRect area, const std::function<bool(QRgb)>& test) {
    area &= image.rect();
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) n += test(image.pixel(x, y)) ? 1 : 0;
    return n;
}

double Share(const QImage& image, QRect area, const std::function<bool(QRgb)>& test) {
    area &= image.rect();
    if (area.isEmpty()) return 0;
    return double(Count(image, area, test)) / (double(area.width()) * area.height());
}

// "(x,y wxh) N% light": where a control was looked for and how much of it was light.
QString LightShare(const QRect& area, double share) {
    return QString("(%1,%2 %3x%4) %5% light")
        .arg(area.x())
        .arg(area.y())
        .arg(area.width())
        .arg(area.height())
        .arg(int(share * 100));
}

// The view starts at the first mostly black row below the light command bar (its first text
// row may already hold ink).
int ViewTop(const QImage& image) {
    for (int y = 0; y < image.height() / 2; ++y)
        if (Share(image, QRect(0, y, image.width(), 1), IsBlack) > 0.6) return y;
    return -1;
}

QImage Load(const char* path) {
    QImage image(QString::fromLocal8Bit(path));
    Check(!image.isNull(), "screenshot readable", QString::fromLocal8Bit(path));
    return image.convertToFormat(QImage::Format_RGB32);
}

const QString kWarning = QStringLiteral(
    "WARNING! You are about to upgrade the firmware for your Tovrin product. This process will "
    "take under 60 seconds. Make sure that the product is powered under A/C for the entire "
    "transfer. Any disruption before the transfer is complete may disable the product,  "
    "requiring a return to the factory.");

// The view's font: "System" at 10 points, in whole pixels at the screen's resolution.
QFont ViewFont() {
    QFont font = afx::FaceFont(u"System");
    font.setPixelSize((100 * ::GetDeviceCaps(nullptr, LOGPIXELSY) + 360) / 720);
    return font;
}

// The warning as the view wraps it at 240 pixels: each line's text.
QStringList WarningLines(const QFont& font) {
    QTextLayout layout(kWarning, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(240);
        lines << kWarning.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

// The last row in [top, bottom) with yellow in its first `right` columns, or -1.
int LastInkRow(const QImage& image, int top, int bottom, int right) {
    for (int y = bottom - 1; y >= top; --y)
        if (Count(image, QRect(0, y, right, 1), IsYellow) > 0) return y;
    return -1;
}

struct Layout {
    QRect load;  // in the view's pixels
    QRect progress;
};

Layout FormLayout() {
    const platform::DialogTemplate* form = afx::FindDialogTemplate(IDD_VANTRA_FORM);
    Layout layout;
    if (form == nullptr) return layout;
    const QFont font = afx::DialogFont(*form);
    for (std::size_t i = 0; i < form->itemCount; ++i) {
        const platform::DialogItem& item = form->items[i];
        const QRect r = afx::DialogUnitsToPixels(font, item.x, item.y, item.cx, item.cy);
        if (item.id == IDC_LOAD) layout.load = r;
        if (item.id == IDC_PROGRESS) layout.progress = r;
    }
    return layout;
}

// The x-extent of the yellow pixels in rows [top, bottom).
std::pair<int, int> YellowSpan(const QImage& image, int top, int bottom) {
    int left = image.width(), right = -1;
    for (int y = std::max(top, 0); y < std::min(bottom, image.height()); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (IsYellow(image.pixel(x, y))) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    return {left, right};
}

void CheckWarning(const QImage& image, const Layout& form) {
    const int top = ViewTop(image);
    Check(top > 0, "warning: command bar above a black view",
          QString("view starts at row %1").arg(top));
    if (top <= 0) return;
    const QRect view(0, top, image.width(), image.height() - top);
    const double black = Share(image, view, IsBlack);
    Check(black > 0.5, "warning: black background", QString("%1% black").arg(int(black * 100)));

    // The view paints its text in four bands (view rows); the last one lies under the LOAD
    // button at this form's size, so only the three above it can show.
    const int bands[3][2] = {{0, 140}, {140, 160}, {160, 180}};
    for (const auto& band : bands) {
        const int n =
            Count(image, QRect(0, top + band[0], image.width(), band[1] - band[0]), IsYellow);
        Check(n > 20, "warning: yellow text in band",
              QString("rows %1-%2: %3 pixels").arg(band[0]).arg(band[1]).arg(n));
    }

    // Band 1 shows every line of the warning: its ink ends in the line the view's font wraps the
    // last words into, clear of the band's foot, and that line ("...the factory.") is whole.
    const QFont font = ViewFont();
    const QStringList lines = WarningLines(font);
    const int pitch = QFontMetrics(font).lineSpacing();
    const int last = LastInkRow(image, top, top + 140, std::min(image.width(), 240));
    Check(last >= top && (last - top) / pitch == lines.size() - 1 && last < top + 139,
          "warning: every line of the warning in band 1",
          QString("ink ends at row %1; %2 lines of %3 px")
              .arg(last - top)
              .arg(lines.size())
              .arg(pitch));
    if (last >= top && !lines.isEmpty()) {
        const auto [left, right] = YellowSpan(image, last - pitch * 2 / 3, last + 1);
        const int expected = QFontMetrics(font).horizontalAdvance(lines.back());
        Check(std::abs(right - left + 1 - expected) <= 4, "warning: the last line whole",
              QString("\"%1\": %2 px wide, expected %3")
                  .arg(lines.back())
                  .arg(right - left + 1)
                  .arg(expected));
    }

    // "Current Version: V4.01" and "Current Version: 0.00" differ in width; the board's
    // answer must be what was drawn.
    const int expected =
        QFontMetrics(font).horizontalAdvance(QStringLiteral("Current Version: V4.01"));
    const auto [left, right] = YellowSpan(image, top + 140, top + 160);
    const int width = right - left + 1;
    Check(std::abs(width - expected) <= 4,
          "warning: version line as wide as \"Current Version: V4.01\"",
          QString("%1 px, expected %2").arg(width).arg(expected));

    const QRect load = form.load.translated(0, top);
    const QRect bar = form.progress.translated(0, top);
    const double face = Share(image, load.adjusted(3, 3, -3, -3), IsLightGrey);
    Check(face > 0.7, "warning: LOAD button where the form puts it", LightShare(load, face));
    const double empty = Share(image, bar.adjusted(3, 3, -3, -3), IsLightGrey);
    Check(empty > 0.9, "warning: empty progress bar under it", LightShare(bar, empty));
    // Black just outside both: the controls are not larger or shifted.
    const double outside =
        Share(image, QRect(load.left(), load.top() - 3, load.width(), 1), IsBlack) +
        Share(image, QRect(bar.left(), bar.bottom() + 3, bar.width(), 1), IsBlack) +
        Share(image, QRect(load.left() - 3, load.top(), 1, bar.bottom() - load.top()), IsBlack);
    Check(outside > 2.7, "warning: black around the controls");
}

// At QT_SCALE_FACTOR=2 the same screen at twice the size: the window, the bands and the text.
void CheckDoubled(const QImage& doubled, const QImage& single) {
    const double wide = double(doubled.width()) / single.width();
    const double tall = double(doubled.height()) / single.height();
    Check(std::abs(wide - 2) < 0.1 && std::abs(tall - 2) < 0.1, "2x: window twice the size",
          QString("%1x%2 against %3x%4")
              .arg(doubled.width())
              .arg(doubled.height())
              .arg(single.width())
              .arg(single.height()));
    const int top2 = ViewTop(doubled), top1 = ViewTop(single);
    if (top2 <= 0 || top1 <= 0) {
        Check(false, "2x: view found");
        return;
    }
    Check(std::abs(top2 - 2 * top1) <= 2, "2x: command bar twice as tall",
          QString("view at row %1, expected %2").arg(top2).arg(2 * top1));
    // The warning ends twice as far down, and the version line is twice as wide.
    const int last2 = LastInkRow(doubled, top2, top2 + 280, std::min(doubled.width(), 480));
    const int last1 = LastInkRow(single, top1, top1 + 140, std::min(single.width(), 240));
    Check(last1 >= top1 && std::abs((last2 - top2) - 2 * (last1 - top1)) <= 3,
          "2x: the warning twice as tall",
          QString("ends at row %1; at 1x row %2").arg(last2 - top2).arg(last1 - top1));
    const auto [l2, r2] = YellowSpan(doubled, top2 + 280, top2 + 320);
    const auto [l1, r1] = YellowSpan(single, top1 + 140, top1 + 160);
    Check(std::abs((r2 - l2 + 1) - 2 * (r1 - l1 + 1)) <= 6, "2x: version line twice as wide",
          QString("%1 px, at 1x %2").arg(r2 - l2 + 1).arg(r1 - l1 + 1));
}

void CheckProgress(const QImage& image, const Layout& form) {
    const int top = ViewTop(image);
    if (top <= 0) {
        Check(false, "progress: view found");
        return;
    }
    const QRect bar = form.progress.translated(0, top).adjusted(3, 3, -3, -3);
    const int row = bar.center().y();
    int filled = 0, unfilled = 0, firstUnfilled = -1, lastFilled = -1;
    for (int x = bar.left(); x <= bar.right(); ++x) {
        const QRgb p = image.pixel(x, row);
        if (IsLightGrey(p)) {
            ++unfilled;
            if (firstUnfilled < 0) firstUnfilled = x;
        } else if (!IsBlack(p)) {
            ++filled;
            lastFilled = x;
        }
    }
    const QString detail =
        QString("%1 filled, %2 empty columns of %3").arg(filled).arg(unfilled).arg(bar.width());
    Check(filled > bar.width() / 20 && unfilled > bar.width() / 20, "progress: bar part-filled",
          detail);
    Check(firstUnfilled > lastFilled, "progress: filled from the left", detail);
}

void CheckOutcome(const QImage& image) {
    const double light = Share(image, image.rect(), IsLightGrey);
    Check(light > 0.6, "outcome: light background", QString("%1% light").arg(int(light * 100)));
    // The message sits above the OK button.
    const int text = Count(image, QRect(0, 0, image.width(), image.height() * 45 / 100), IsDark);
    Check(text > 30, "outcome: dark message text", QString("%1 dark pixels").arg(text));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr,
                     "usage: demo_check warning.png progress.png outcome.png [warning-2x.png]\n");
        return 2;
    }
    // Fonts are measured as the program measures them; no window is shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    platform::SetProgramResources(&VantraResources());
    const Layout form = FormLayout();
    Check(!form.load.isEmpty() && !form.progress.isEmpty(),
          "upgrade form has LOAD and the progress bar");

    const QImage warning = Load(argv[1]);
    CheckWarning(warning, form);
    if (argc == 5) CheckDoubled(Load(argv[4]), warning);
    CheckProgress(Load(argv[2]), form);
    CheckOutcome(Load(argv[3]));
    return g_failures == 0 ? 0 : 1;
}
