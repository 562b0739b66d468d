// The one way code below the user interface reports a failure the user must see. The framework
// half installs a presenter that shows a real modal box; without one, the texts are kept so a
// program with no display (or a test) can read them.
#pragma once

#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

using MessagePresenter = int (*)(const WCHAR* text, UINT type);

// Shows `text` with `type` (MB_OK, MB_ICONINFORMATION ...) and returns once it is dismissed.
int ShowUserMessage(const WCHAR* text, UINT type);

// Installs the presenter; nullptr goes back to keeping the texts. Returns the previous one.
MessagePresenter SetMessagePresenter(MessagePresenter presenter);

// Texts shown while no presenter was installed, oldest first.
std::vector<std::u16string> TakeRecordedMessages();

}  // namespace platform
