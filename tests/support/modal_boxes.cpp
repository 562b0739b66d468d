#include "tests/support/modal_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace testutil {

namespace {
const char* const kWatcherName = "afxModalWatcher";
}

void CancelModalWatchers() {
    for (QTimer* timer :
         qApp->findChildren<QTimer*>(QLatin1String(kWatcherName), Qt::FindDirectChildrenOnly))
        delete timer;
}

void OnNextModal(std::function<void(QWidget*)> action, int timeoutMs) {
    auto* timer = new QTimer(qApp);
    timer->setObjectName(QLatin1String(kWatcherName));
    // Boxes already up belong to whoever is waiting on them.
    QPointer<QWidget> existing = QApplication::activeModalWidget();
    auto remaining = std::make_shared<int>(timeoutMs / 10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, existing, remaining, action] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != existing.data() && modal->isVisible()) {
            timer->stop();
            timer->setObjectName(QString());  // no longer cancellable: it is running
            timer->deleteLater();
            action(modal);
        } else if (--*remaining <= 0) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

std::u16string MessageBoxText(QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    return box ? box->text().toStdU16String() : std::u16string();
}

bool PressOk(QWidget* modal) {
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            ok->click();
            return true;
        }
        return false;
    }
    if (modal == nullptr) return false;
    if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("afxCaptionOk"))) {
        ok->click();
        return true;
    }
    return false;
}

bool ChooseFile(QWidget* modal, const QString& path) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (!dialog) return false;
    // The dialog's file list fills on a worker thread, so accepting a typed name can race with
    // it; the framework reads the choice from this property instead.
    dialog->setProperty("afxChosenFile", path);
    static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
    return true;
}

void DismissNextMessageBox(std::u16string* text, int timeoutMs) {
    OnNextModal(
        [text](QWidget* modal) {
            if (text) *text = MessageBoxText(modal);
            PressOk(modal);
        },
        timeoutMs);
}

}  // namespace testutil
