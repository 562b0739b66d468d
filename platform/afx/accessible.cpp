// What a screen reader is told about the framework's windows. A view paints its texts itself,
// so Qt sees only a blank widget; the texts it reports here stand in the accessibility tree as
// labels ahead of its controls, in its reading order, without touching what is painted.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QStringView>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <vector>

#include "platform/afx/afx_internal.h"

namespace afx {
namespace {

// One text a window paints, a child object of its widget: it goes with the widget, and Qt's
// accessibility cache forgets its interface when it goes.
class ShownText final : public QObject {
public:
    ShownText(QWidget* window, int index) : QObject(window), index(index) {}
    QWidget* Window() const { return static_cast<QWidget*>(parent()); }

    const int index;
    QString text;
    QRect rect;  // in the window's client coordinates
};

std::vector<ShownText*> ShownTexts(const QWidget* widget) {
    std::vector<ShownText*> texts;
    for (QObject* child : widget->children()) {
        if (auto* text = dynamic_cast<ShownText*>(child)) texts.push_back(text);
    }
    std::sort(texts.begin(), texts.end(),
              [](const ShownText* a, const ShownText* b) { return a->index < b->index; });
    return texts;
}

class ShownTextAccessible final : public QAccessibleInterface {
public:
    explicit ShownTextAccessible(ShownText* text) : text_(text) {}

    bool isValid() const override { return text_ != nullptr; }
    QObject* object() const override { return text_; }
    QWindow* window() const override {
        QAccessibleInterface* up = parent();
        return up ? up->window() : nullptr;
    }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override {
        return text_ ? QAccessible::queryAccessibleInterface(text_->Window()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text kind) const override {
        return text_ && kind == QAccessible::Name ? text_->text : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!text_) return {};
        return QRect(text_->Window()->mapToGlobal(text_->rect.topLeft()), text_->rect.size());
    }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        state.invisible = !text_ || !text_->Window()->isVisible();
        return state;
    }

private:
    QPointer<ShownText> text_;
};

// A framework window: its painted texts first, then its child widgets as Qt has them.
class WindowAccessible final : public QAccessibleWidget {
public:
    explicit WindowAccessible(QWidget* widget) : QAccessibleWidget(widget) {}

    int childCount() const override {
        return static_cast<int>(ShownTexts(widget()).size()) + QAccessibleWidget::childCount();
    }
    QAccessibleInterface* child(int index) const override {
        const std::vector<ShownText*> texts = ShownTexts(widget());
        const int shown = static_cast<int>(texts.size());
        if (index >= 0 && index < shown)
            return QAccessible::queryAccessibleInterface(texts[static_cast<std::size_t>(index)]);
        return QAccessibleWidget::child(index - shown);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const std::vector<ShownText*> texts = ShownTexts(widget());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (child != nullptr && child->object() == texts[i]) return static_cast<int>(i);
        }
        const int index = QAccessibleWidget::indexOfChild(child);
        return index < 0 ? index : index + static_cast<int>(texts.size());
    }
};

// A command bar's button. Its press returns at once and the click follows from the event loop,
// as Qt does for push buttons; Qt's own tool-button press clicks inside the screen reader's
// call, and a command that opens a box (About) would hold the reader until the box is closed.
// The click takes the command's usual route, so the window thread's gate judges it as ever.
class BarButtonAccessible final : public QAccessibleWidget {
public:
    explicit BarButtonAccessible(QToolButton* button)
        : QAccessibleWidget(button, QAccessible::Button) {}

    QString text(QAccessible::Text kind) const override {
        QString text = QAccessibleWidget::text(kind);
        if (text.isEmpty() && kind == QAccessible::Name) text = Button()->text();
        return text;
    }
    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action != pressAction()) return QAccessibleWidget::doAction(action);
        if (Button()->isEnabled()) Button()->animateClick();
    }

private:
    QToolButton* Button() const { return static_cast<QToolButton*>(widget()); }
};

QAccessibleInterface* Factory(const QString&, QObject* object) {
    if (auto* text = dynamic_cast<ShownText*>(object)) return new ShownTextAccessible(text);
    // Buttons with an action of the bar's; the bar's own overflow button is left to Qt.
    if (auto* button = qobject_cast<QToolButton*>(object);
        button != nullptr && button->defaultAction() != nullptr &&
        qobject_cast<QToolBar*>(button->parentWidget()) != nullptr)
        return new BarButtonAccessible(button);
    if (auto* widget = dynamic_cast<Widget*>(object)) return new WindowAccessible(widget);
    return nullptr;
}

}  // namespace

void InstallAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(&Factory);
        return true;
    }();
    (void)installed;
}

}  // namespace afx

void CWnd::SetShownText(int index, LPCWSTR text, int length, const RECT& rect) {
    QWidget* widget = GetQWidget();
    if (widget == nullptr || index < 0 || length < 0 || (text == nullptr && length > 0)) return;
    afx::ShownText* item = nullptr;
    for (afx::ShownText* shown : afx::ShownTexts(widget)) {
        if (shown->index == index) item = shown;
    }
    const bool created = item == nullptr;
    if (created) item = new afx::ShownText(widget, index);
    item->rect = QRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    // Every paint reports its texts; only a new or changed one is news to a screen reader.
    const QStringView now(text, length);
    if (!created && item->text == now) return;
    item->text = now.toString();
    QAccessibleEvent event(item, created ? QAccessible::ObjectCreated : QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void CWnd::SetAccessibleName(LPCWSTR name) {
    if (QWidget* widget = GetQWidget()) widget->setAccessibleName(afx::ToQString(name));
}
