#include <gtest/gtest.h>

#include <QFont>
#include <QFontInfo>
#include <QImage>
#include <QPainter>

#include "platform/afx/afx_internal.h"
#include "platform/afx/afxwin.h"

namespace {

constexpr COLORREF kYellow = RGB(255, 255, 0);
const WCHAR kWarning[] =
    u"WARNING! You are about to upgrade the firmware for your Tovrin product. This process will "
    u"take under 60 seconds. Make sure that the product is powered under A/C for the entire "
    u"transfer. Any disruption before the transfer is complete may disable the product,  "
    u"requiring a return to the factory.";

// A memory context like the upgrade view's paint: bitmap, 10-point "System", yellow on black.
struct Canvas {
    CDC mem;
    CBitmap bitmap;
    CFont font;
    int width, height;
    Canvas(int w, int h) : width(w), height(h) {
        mem.CreateCompatibleDC(nullptr);
        bitmap.CreateCompatibleBitmap(&mem, w, h);
        mem.SelectObject(&bitmap);
        font.CreatePointFont(100, u"System", &mem);
        mem.FillSolidRect(0, 0, w, h, RGB(0, 0, 0));
        mem.SelectObject(&font);
        mem.SetTextColor(kYellow);
        mem.SetBkColor(RGB(0, 0, 0));
    }
    // Bounds of the text's pixels (anything not black), as left, top, right, bottom exclusive.
    CRect Inked() const {
        CRect r(width, height, -1, -1);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (mem.GetPixel(x, y) != RGB(0, 0, 0)) {
                    r.left = std::min<LONG>(r.left, x);
                    r.top = std::min<LONG>(r.top, y);
                    r.right = std::max<LONG>(r.right, x + 1);
                    r.bottom = std::max<LONG>(r.bottom, y + 1);
                }
        return r;
    }
};

int LineHeight(CFont& font) {
    Canvas c(10, 10);
    CRect r(0, 0, 1000, 0);
    c.mem.SelectObject(&font);
    return c.mem.DrawText(u"Ag", 2, r, DT_CALCRECT);
}

TEST(DrawText, WordBreakWrapsBetweenWordsAtTheWidthAndClipsToTheBand) {
    Canvas c(300, 200);
    CRect band(0, 0, 120, 60);
    c.mem.DrawText(kWarning, static_cast<int>(std::char_traits<char16_t>::length(kWarning)), band,
                   DT_WORDBREAK);
    CRect ink = c.Inked();
    ASSERT_GE(ink.right, 0) << "nothing drawn";
    EXPECT_LE(ink.left, 3) << "left-aligned";
    EXPECT_LE(ink.top, 6) << "starts at the band's top";
    EXPECT_LE(ink.right, 120) << "wrapped inside the band's width";
    EXPECT_LE(ink.bottom, 60) << "clipped to the band";
    EXPECT_GT(ink.bottom, 2 * LineHeight(c.font)) << "more than two lines";
    EXPECT_GE(ink.bottom, 55) << "the text overflows the band and is cut at its bottom";
}

TEST(DrawText, WarningFitsItsBandInTheSystemFace) {
    if (afx::SystemFamily() != QLatin1String("Tahoma")) GTEST_SKIP() << "no Tahoma (fonts-wine)";
    Canvas c(240, 200);
    CRect band(0, 0, 240, 140);
    const int length = static_cast<int>(std::char_traits<char16_t>::length(kWarning));
    CRect needed = band;
    c.mem.DrawText(kWarning, length, needed, DT_WORDBREAK | DT_CALCRECT);
    EXPECT_LE(needed.bottom, 140) << "the last line, \"...a return to the factory.\", shows";
    c.mem.DrawText(kWarning, length, band, DT_WORDBREAK);
    EXPECT_LE(c.Inked().right, 240);
}

TEST(DrawText, CenterCentresOneLineAndClipsInsteadOfWrapping) {
    Canvas c(240, 60);
    CRect band(0, 20, 240, 40);
    const WCHAR text[] = u"Press 'LOAD' to upgrade";
    c.mem.DrawText(text, 23, band, DT_CENTER);
    CRect ink = c.Inked();
    ASSERT_GE(ink.right, 0);
    EXPECT_NEAR((ink.left + ink.right) / 2.0, 120.0, 3.0);
    EXPECT_GE(ink.top, 20);
    EXPECT_LE(ink.bottom, 40);

    Canvas wide(240, 60);
    CRect narrow(40, 0, 200, 20);
    wide.mem.DrawText(kWarning, 60, narrow, DT_CENTER);
    ink = wide.Inked();
    EXPECT_GE(ink.left, 40) << "too long for the band: cut at its left edge";
    EXPECT_LE(ink.left, 43);
    EXPECT_LE(ink.right, 200) << "and at its right edge";
    EXPECT_GE(ink.right, 197);
    EXPECT_LE(ink.bottom, LineHeight(wide.font) + 1) << "one line, not wrapped";
}

TEST(DrawText, BackgroundIsTheContextsBackgroundColour) {
    Canvas c(100, 30);
    c.mem.FillSolidRect(0, 0, 100, 30, RGB(0, 0, 255));
    c.mem.SetBkColor(RGB(0, 128, 0));
    CRect r(0, 0, 100, 30);
    c.mem.DrawText(u"MMMM", 4, r, DT_WORDBREAK);
    // Opaque text paints its own cells (below the baseline no ink); the rest keeps the fill.
    EXPECT_EQ(c.mem.GetPixel(1, LineHeight(c.font) - 1), RGB(0, 128, 0));
    EXPECT_EQ(c.mem.GetPixel(99, 29), RGB(0, 0, 255));
}

TEST(Fonts, PointFontIsTheSystemFaceSizedByTheContextsResolution) {
    CDC mem;
    mem.CreateCompatibleDC(nullptr);
    CFont font;
    ASSERT_TRUE(font.CreatePointFont(100, u"System", &mem));
    CDC probe;
    probe.CreateCompatibleDC(nullptr);
    CBitmap bmp;
    bmp.CreateCompatibleBitmap(&probe, 1, 1);
    probe.SelectObject(&bmp);
    probe.SelectObject(&font);
    // 10 points at the context's resolution; at 96 dpi that is 13 pixels.
    int dpi = mem.GetDeviceCaps(LOGPIXELSY);
    CRect r(0, 0, 1000, 0);
    int h = probe.DrawText(u"A", 1, r, DT_CALCRECT);
    EXPECT_GE(h, (100 * dpi) / 720);
    EXPECT_LE(h, (100 * dpi) / 720 * 2);
}

TEST(Blit, CopiesTheMemoryPictureAndColoursKeepRedInTheLowByte) {
    CDC src, dst;
    src.CreateCompatibleDC(nullptr);
    dst.CreateCompatibleDC(&src);
    CBitmap a, b;
    a.CreateCompatibleBitmap(&src, 20, 20);
    b.CreateCompatibleBitmap(&src, 20, 20);
    src.SelectObject(&a);
    dst.SelectObject(&b);
    CBrush red(RGB(255, 0, 0));
    CRect left(0, 0, 10, 20);
    src.FillRect(left, &red);
    EXPECT_EQ(src.GetPixel(5, 5), RGB(255, 0, 0));
    EXPECT_EQ(src.GetPixel(15, 5), RGB(0, 0, 0)) << "a new bitmap is black";
    ASSERT_TRUE(dst.BitBlt(0, 0, 20, 20, &src, 0, 0, SRCCOPY));
    EXPECT_EQ(dst.GetPixel(5, 5), RGB(255, 0, 0));
    EXPECT_EQ(dst.GetPixel(15, 5), RGB(0, 0, 0));
}

// On a screen of twice the density (QT_SCALE_FACTOR=2) the picture is drawn at that density and
// copied device pixel for device pixel, not drawn small and blown up.
TEST(Blit, HighDensityPictureLandsPixelForPixel) {
    QImage screen(480, 120, QImage::Format_RGB32);
    screen.setDevicePixelRatio(2);
    screen.fill(Qt::white);
    QPainter painter(&screen);
    HDC window = afx::CreatePainterDC(&painter, 96, 96);
    CDC mem;
    mem.CreateCompatibleDC(CDC::FromHandle(window));
    CBitmap bitmap;
    bitmap.CreateCompatibleBitmap(CDC::FromHandle(window), 240, 60);
    mem.SelectObject(&bitmap);
    CFont font;
    font.CreatePointFont(100, u"System", &mem);
    mem.SelectObject(&font);
    mem.SetTextColor(kYellow);
    mem.SetBkColor(RGB(0, 0, 0));
    CRect band(0, 0, 240, 60);
    mem.DrawText(kWarning, 60, band, DT_WORDBREAK);
    ASSERT_TRUE(::BitBlt(window, 0, 0, 240, 60, mem.m_hDC, 0, 0, SRCCOPY));
    painter.end();
    const QImage picture = QImage(screen).copy(0, 0, 480, 120);
    QImage drawn(480, 120, QImage::Format_RGB32);
    drawn.setDevicePixelRatio(2);
    drawn.fill(Qt::black);
    QPainter reference(&drawn);
    QFont face = afx::FaceFont(u"System");
    face.setPixelSize(13);
    reference.setFont(face);
    reference.setPen(QColor(255, 255, 0));
    reference.drawText(QRect(0, 0, 240, 60), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                       QString::fromUtf16(kWarning, 60));
    reference.end();
    EXPECT_EQ(picture.convertToFormat(QImage::Format_RGB32),
              drawn.convertToFormat(QImage::Format_RGB32))
        << "text at full density, where it belongs";
    EXPECT_EQ(mem.GetPixel(239, 59), RGB(0, 0, 0)) << "read back by logical pixel";
    ::DeleteDC(window);
}

TEST(Handles, RawCallsMatchTheWrappersAndDeletingSelectedObjectsIsSafe) {
    HDC mem = CreateCompatibleDC(nullptr);
    HBITMAP bmp = CreateCompatibleBitmap(mem, 8, 8);
    ASSERT_EQ(SelectObject(mem, bmp), nullptr);
    HBRUSH brush = CreateSolidBrush(RGB(0, 0, 255));
    RECT r;
    SetRect(&r, 0, 0, 8, 8);
    EXPECT_EQ(FillRect(mem, &r, brush), 1);
    EXPECT_TRUE(DeleteObject(brush));
    EXPECT_FALSE(DeleteObject(brush)) << "a handle is deleted once";
    EXPECT_TRUE(DeleteObject(bmp));  // still selected: the context keeps drawing safely
    EXPECT_EQ(GetPixel(mem, 3, 3), RGB(0, 0, 255));
    CDC* wrapper = CDC::FromHandle(mem);
    ASSERT_NE(wrapper, nullptr);
    wrapper->FillSolidRect(0, 0, 8, 8, RGB(0, 255, 0));
    EXPECT_EQ(GetPixel(mem, 3, 3), RGB(0, 255, 0));
    EXPECT_TRUE(DeleteDC(mem));
    EXPECT_FALSE(DeleteDC(mem));
    EXPECT_EQ(CDC::FromHandle(mem), nullptr);
}

TEST(Handles, SelectingGivesBackThePreviousWrapperWhileItLives) {
    CDC mem;
    mem.CreateCompatibleDC(nullptr);
    CFont first, second;
    first.CreatePointFont(80, u"System", &mem);
    second.CreatePointFont(120, u"System", &mem);
    EXPECT_EQ(mem.SelectObject(&first), nullptr);
    EXPECT_EQ(mem.SelectObject(&second), &first);
    {
        CFont gone;
        gone.CreatePointFont(90, u"System", &mem);
        EXPECT_EQ(mem.SelectObject(&gone), &second);
    }
    EXPECT_EQ(mem.SelectObject(&first), nullptr) << "a destroyed wrapper is not handed back";
}

TEST(Strings, EightBitTextIsWidenedByteByByte) {
    CString a("V4.02\xE9");
    ASSERT_EQ(a.GetLength(), 6);
    EXPECT_EQ(static_cast<LPCWSTR>(a)[5], u'\u00E9');
    CString b(u"Tovrin");
    EXPECT_EQ(b.GetLength(), 6);
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
    CString s;
    EXPECT_TRUE(s.LoadString(104));
    EXPECT_EQ(s, CString("Windows sockets initialization failed."));
    EXPECT_FALSE(s.LoadString(4242));
    EXPECT_TRUE(s.IsEmpty());
}

}  // namespace
