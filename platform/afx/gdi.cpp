#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QtMath>
#include <memory>
#include <unordered_map>

#include "platform/afx/afx_internal.h"
#include "platform/afx/afxgdi.h"

namespace {

struct GdiObject {
    enum Kind { Bitmap, Font, Brush, Pen } kind;
    CGdiObject* wrapper = nullptr;  // the wrapper it was last selected through
    QImage image;
    QFont font;
    QColor color;
    QPen pen;
};

struct DeviceContext {
    // A window context paints with the paint event's painter; a memory context owns its
    // painter, begun on the bitmap selected into it.
    QPainter* painter = nullptr;
    std::unique_ptr<QPainter> ownPainter;
    std::shared_ptr<GdiObject> bitmap, font, brush, pen;
    COLORREF text = RGB(0, 0, 0);
    COLORREF back = RGB(255, 255, 255);
    int dpiX = 96, dpiY = 96;
    // Device pixels per logical pixel: a memory context's bitmap is made at the density of the
    // context it is compatible with, so a high-density screen gets sharp text, not doubled pixels.
    qreal dpr = 1;
    bool memory = false;
};

// Objects stay alive while a context still has them selected, so deleting one early cannot
// leave a context drawing into freed memory.
std::unordered_map<HGDIOBJ, std::shared_ptr<GdiObject>>& Objects() {
    static std::unordered_map<HGDIOBJ, std::shared_ptr<GdiObject>> objects;
    return objects;
}
std::unordered_map<HDC, std::unique_ptr<DeviceContext>>& Contexts() {
    static std::unordered_map<HDC, std::unique_ptr<DeviceContext>> contexts;
    return contexts;
}

std::shared_ptr<GdiObject> Find(HGDIOBJ h) {
    auto it = Objects().find(h);
    return it == Objects().end() ? nullptr : it->second;
}
DeviceContext* FindDC(HDC h) {
    auto it = Contexts().find(h);
    return it == Contexts().end() ? nullptr : it->second.get();
}
HGDIOBJ Insert(std::shared_ptr<GdiObject> object) {
    auto h = reinterpret_cast<HGDIOBJ>(object.get());
    Objects()[h] = std::move(object);
    return h;
}
HDC InsertDC(std::unique_ptr<DeviceContext> dc) {
    auto h = reinterpret_cast<HDC>(dc.get());
    Contexts()[h] = std::move(dc);
    return h;
}
HGDIOBJ HandleOf(const std::shared_ptr<GdiObject>& o) {
    return o && Find(reinterpret_cast<HGDIOBJ>(o.get())) ? reinterpret_cast<HGDIOBJ>(o.get())
                                                         : nullptr;
}

qreal ScreenPixelRatio() {
    QScreen* s = QGuiApplication::primaryScreen();
    return s ? s->devicePixelRatio() : 1;
}

void ScreenDpi(int& x, int& y) {
    x = y = 96;
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        x = qRound(s->logicalDotsPerInchX());
        y = qRound(s->logicalDotsPerInchY());
    }
}

}  // namespace

QColor afx::ToQColor(COLORREF c) {
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

BOOL SetRect(LPRECT rect, int left, int top, int right, int bottom) {
    if (rect == nullptr) return FALSE;
    *rect = RECT{left, top, right, bottom};
    return TRUE;
}

HDC afx::CreatePainterDC(QPainter* painter, int dpiX, int dpiY) {
    auto dc = std::make_unique<DeviceContext>();
    dc->painter = painter;
    dc->dpiX = dpiX;
    dc->dpiY = dpiY;
    if (painter && painter->device()) dc->dpr = painter->device()->devicePixelRatio();
    if (painter) painter->setFont(afx::DefaultGuiFont());
    return InsertDC(std::move(dc));
}

QPainter* afx::PainterOf(HDC h) {
    DeviceContext* dc = FindDC(h);
    return dc ? dc->painter : nullptr;
}

HDC CreateCompatibleDC(HDC source) {
    auto dc = std::make_unique<DeviceContext>();
    dc->memory = true;
    if (DeviceContext* src = FindDC(source)) {
        dc->dpiX = src->dpiX;
        dc->dpiY = src->dpiY;
        dc->dpr = src->dpr;
    } else {
        ScreenDpi(dc->dpiX, dc->dpiY);
        dc->dpr = ScreenPixelRatio();
    }
    return InsertDC(std::move(dc));
}

BOOL DeleteDC(HDC h) {
    auto it = Contexts().find(h);
    if (it == Contexts().end()) return FALSE;
    if (it->second->ownPainter) it->second->ownPainter->end();
    Contexts().erase(it);
    afx::ForgetTemporaryDC(h);
    return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
    if (width < 0 || height < 0) return nullptr;
    auto o = std::make_shared<GdiObject>();
    o->kind = GdiObject::Bitmap;
    // A context's bitmap has the screen's colour depth; a 1-pixel minimum keeps Qt's painter
    // usable for an empty client area. Its size is in the context's logical pixels.
    DeviceContext* d = FindDC(dc);
    const qreal dpr = d ? d->dpr : ScreenPixelRatio();
    o->image = QImage(std::max(qCeil(width * dpr), 1), std::max(qCeil(height * dpr), 1),
                      QImage::Format_RGB32);
    o->image.setDevicePixelRatio(dpr);
    o->image.fill(Qt::black);
    if (d) {
        o->image.setDotsPerMeterX(qRound(d->dpiX / 0.0254));
        o->image.setDotsPerMeterY(qRound(d->dpiY / 0.0254));
    }
    return Insert(std::move(o));
}

HBRUSH CreateSolidBrush(COLORREF color) {
    auto o = std::make_shared<GdiObject>();
    o->kind = GdiObject::Brush;
    o->color = afx::ToQColor(color);
    return Insert(std::move(o));
}

HPEN CreatePen(int style, int width, COLORREF color) {
    auto o = std::make_shared<GdiObject>();
    o->kind = GdiObject::Pen;
    Qt::PenStyle s = style == PS_DASH   ? Qt::DashLine
                     : style == PS_DOT  ? Qt::DotLine
                     : style == PS_NULL ? Qt::NoPen
                                        : Qt::SolidLine;
    o->pen = QPen(afx::ToQColor(color), std::max(width, 1), s);
    return Insert(std::move(o));
}

HFONT afx::CreateFontHandle(const QFont& font) {
    auto o = std::make_shared<GdiObject>();
    o->kind = GdiObject::Font;
    o->font = font;
    return Insert(std::move(o));
}

BOOL DeleteObject(HGDIOBJ h) {
    return Objects().erase(h) ? TRUE : FALSE;
}

HGDIOBJ SelectObject(HDC h, HGDIOBJ object) {
    DeviceContext* dc = FindDC(h);
    std::shared_ptr<GdiObject> o = Find(object);
    if (dc == nullptr || !o) return nullptr;
    std::shared_ptr<GdiObject> previous;
    switch (o->kind) {
        case GdiObject::Bitmap: {
            if (!dc->memory) return nullptr;  // only memory contexts take bitmaps
            previous = dc->bitmap;
            if (dc->ownPainter) dc->ownPainter->end();
            dc->bitmap = o;
            dc->ownPainter = std::make_unique<QPainter>(&o->image);
            dc->painter = dc->ownPainter.get();
            dc->painter->setFont(dc->font ? dc->font->font : afx::DefaultGuiFont());
            if (dc->pen) dc->painter->setPen(dc->pen->pen);
            break;
        }
        case GdiObject::Font:
            previous = dc->font;
            dc->font = o;
            if (dc->painter) dc->painter->setFont(o->font);
            break;
        case GdiObject::Brush:
            previous = dc->brush;
            dc->brush = o;
            if (dc->painter) dc->painter->setBrush(o->color);
            break;
        case GdiObject::Pen:
            previous = dc->pen;
            dc->pen = o;
            if (dc->painter) dc->painter->setPen(o->pen);
            break;
    }
    return HandleOf(previous);
}

COLORREF SetTextColor(HDC h, COLORREF color) {
    DeviceContext* dc = FindDC(h);
    if (!dc) return 0xFFFFFFFFu;
    return std::exchange(dc->text, color);
}

COLORREF SetBkColor(HDC h, COLORREF color) {
    DeviceContext* dc = FindDC(h);
    if (!dc) return 0xFFFFFFFFu;
    return std::exchange(dc->back, color);
}

int FillRect(HDC h, const RECT* r, HBRUSH brush) {
    DeviceContext* dc = FindDC(h);
    std::shared_ptr<GdiObject> b = Find(brush);
    if (!dc || !dc->painter || !r || !b || b->kind != GdiObject::Brush) return 0;
    dc->painter->fillRect(QRect(r->left, r->top, r->right - r->left, r->bottom - r->top), b->color);
    return 1;
}

int DrawTextW(HDC h, LPCWSTR text, int length, LPRECT r, UINT format) {
    DeviceContext* dc = FindDC(h);
    if (!dc || !r || !text) return 0;
    QString s = length < 0 ? QString::fromUtf16(text)
                           : QString::fromUtf16(text, static_cast<qsizetype>(length));
    QFont font = dc->font ? dc->font->font : afx::DefaultGuiFont();
    QRect box(r->left, r->top, r->right - r->left, r->bottom - r->top);

    int flags = ((format & DT_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop;
    // Only DT_WORDBREAK wraps, and only between words.
    if (format & DT_WORDBREAK) flags |= Qt::TextWordWrap;

    QFontMetrics metrics(font);
    QRect needed =
        metrics.boundingRect(box.width() > 0 ? box : QRect(box.topLeft(), QSize(1, 1)), flags, s);
    if (format & DT_CALCRECT) {
        r->right = r->left + needed.width();
        r->bottom = r->top + needed.height();
        return needed.height();
    }
    if (!dc->painter) return 0;
    QPainter& p = *dc->painter;
    p.save();
    p.setFont(font);
    p.setClipRect(box, Qt::IntersectClip);
    p.setPen(afx::ToQColor(dc->text));
    p.setBackgroundMode(Qt::OpaqueMode);
    p.setBackground(afx::ToQColor(dc->back));
    p.drawText(box, flags, s);
    p.restore();
    return needed.height();
}

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int sx, int sy, DWORD rop) {
    DeviceContext* d = FindDC(dest);
    DeviceContext* s = FindDC(source);
    if (!d || !d->painter || !s || !s->bitmap || rop != SRCCOPY) return FALSE;
    QPainter& p = *d->painter;
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Source);
    // The source in its own device pixels, so a high-density bitmap lands pixel for pixel.
    const QImage& image = s->bitmap->image;
    const qreal r = image.devicePixelRatio();
    p.drawImage(QRectF(x, y, width, height), image, QRectF(sx * r, sy * r, width * r, height * r));
    p.restore();
    return TRUE;
}

int GetDeviceCaps(HDC h, int index) {
    DeviceContext* dc = FindDC(h);
    int x = 96, y = 96;
    if (dc) {
        x = dc->dpiX;
        y = dc->dpiY;
    } else {
        ScreenDpi(x, y);
    }
    return index == LOGPIXELSX ? x : index == LOGPIXELSY ? y : 0;
}

COLORREF GetPixel(HDC h, int x, int y) {
    DeviceContext* dc = FindDC(h);
    if (!dc || !dc->bitmap) return 0xFFFFFFFFu;
    const QImage& image = dc->bitmap->image;
    const qreal r = image.devicePixelRatio();
    const QPoint at(qFloor(x * r), qFloor(y * r));  // the logical pixel's first device pixel
    if (x < 0 || y < 0 || !image.valid(at)) return 0xFFFFFFFFu;
    QRgb c = image.pixel(at);
    return RGB(static_cast<BYTE>(qRed(c)), static_cast<BYTE>(qGreen(c)),
               static_cast<BYTE>(qBlue(c)));
}

// --- Wrappers ---------------------------------------------------------------------------------

BOOL CGdiObject::Attach(HGDIOBJ object) {
    if (object == nullptr) return FALSE;
    DeleteObject();
    m_hObject = object;
    return TRUE;
}

BOOL CGdiObject::DeleteObject() {
    if (m_hObject == nullptr) return FALSE;
    if (auto o = Find(m_hObject)) o->wrapper = nullptr;
    return ::DeleteObject(std::exchange(m_hObject, nullptr));
}

BOOL CFont::CreatePointFont(int pointSize, LPCWSTR faceName, CDC* dc) {
    int dpi = ::GetDeviceCaps(dc ? dc->m_hDC : nullptr, LOGPIXELSY);
    QFont font = afx::FaceFont(faceName);
    font.setPixelSize(std::max(1, (pointSize * dpi + 360) / 720));
    return Attach(afx::CreateFontHandle(font));
}

BOOL CBitmap::CreateCompatibleBitmap(CDC* dc, int width, int height) {
    return Attach(::CreateCompatibleBitmap(dc ? dc->m_hDC : nullptr, width, height));
}

CDC::~CDC() {
    if (m_ownsDC) DeleteDC();
}

BOOL CDC::Attach(HDC dc) {
    if (dc == nullptr) return FALSE;
    m_hDC = dc;
    m_ownsDC = true;
    return TRUE;
}

BOOL CDC::CreateCompatibleDC(CDC* dc) {
    return Attach(::CreateCompatibleDC(dc ? dc->m_hDC : nullptr));
}

BOOL CDC::DeleteDC() {
    if (m_hDC == nullptr) return FALSE;
    m_ownsDC = false;
    return ::DeleteDC(std::exchange(m_hDC, nullptr));
}

namespace {
template <class T>
T* SelectWrapper(HDC dc, T* object) {
    if (object == nullptr) return nullptr;
    if (auto o = Find(object->m_hObject)) o->wrapper = object;
    auto previous = Find(::SelectObject(dc, object->m_hObject));
    return previous ? dynamic_cast<T*>(previous->wrapper) : nullptr;
}
}  // namespace

// The previous wrapper is returned when this layer saw it selected; objects selected through
// handles alone come back as NULL, which callers only pass back to SelectObject.
CFont* CDC::SelectObject(CFont* font) {
    return SelectWrapper(m_hDC, font);
}
CBitmap* CDC::SelectObject(CBitmap* bitmap) {
    return SelectWrapper(m_hDC, bitmap);
}
CBrush* CDC::SelectObject(CBrush* brush) {
    return SelectWrapper(m_hDC, brush);
}
CPen* CDC::SelectObject(CPen* pen) {
    return SelectWrapper(m_hDC, pen);
}

void CDC::FillSolidRect(LPCRECT r, COLORREF color) {
    ::SetBkColor(m_hDC, color);
    QPainter* p = afx::PainterOf(m_hDC);
    if (p && r)
        p->fillRect(QRect(r->left, r->top, r->right - r->left, r->bottom - r->top),
                    afx::ToQColor(color));
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF color) {
    RECT r{x, y, x + cx, y + cy};
    FillSolidRect(&r, color);
}

namespace {
std::unordered_map<HDC, std::unique_ptr<CDC>>& Temporaries() {
    static std::unordered_map<HDC, std::unique_ptr<CDC>> temporaries;
    return temporaries;
}
}  // namespace

CDC* CDC::FromHandle(HDC dc) {
    if (dc == nullptr || FindDC(dc) == nullptr) return nullptr;
    auto& slot = Temporaries()[dc];
    if (!slot) {
        slot = std::make_unique<CDC>();
        slot->m_hDC = dc;  // not owned: the handle's creator deletes it
    }
    return slot.get();
}

void afx::ForgetTemporaryDC(HDC dc) {
    Temporaries().erase(dc);
}
