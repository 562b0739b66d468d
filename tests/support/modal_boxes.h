// Helpers for tests that drive modal boxes: a modal box blocks the calling test, so its checks
// run from a timer while the box is up.
#pragma once

#include <functional>
#include <string>

class QWidget;
class QString;

namespace testutil {

// Calls `action` with the first modal box that is up after this call (polled every 10 ms), at
// most once, giving up after `timeoutMs`.
void OnNextModal(std::function<void(QWidget* modal)> action, int timeoutMs = 10000);

// Stops every OnNextModal still waiting, so a test that ends early leaves nothing behind.
void CancelModalWatchers();

// The text of a message box (empty for other widgets).
std::u16string MessageBoxText(QWidget* modal);
// Presses OK: a message box's button, or a dialog's caption OK. False when there is none.
bool PressOk(QWidget* modal);
// Picks `path` in a file dialog and accepts it. False when `modal` is not a file dialog.
bool ChooseFile(QWidget* modal, const QString& path);

// Arranges for the next modal message box to be read into `*text` and dismissed with OK.
void DismissNextMessageBox(std::u16string* text, int timeoutMs = 10000);

}  // namespace testutil
