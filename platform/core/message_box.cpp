#include "platform/message_box.h"

#include <atomic>
#include <mutex>

namespace platform {
namespace {
std::atomic<MessagePresenter> presenter{nullptr};
std::mutex recordedMutex;
std::vector<std::u16string> recorded;
}  // namespace

int ShowUserMessage(const WCHAR* text, UINT type) {
    if (MessagePresenter p = presenter.load()) return p(text, type);
    std::lock_guard lock(recordedMutex);
    recorded.emplace_back(text != nullptr ? text : u"");
    return IDOK;
}

MessagePresenter SetMessagePresenter(MessagePresenter p) {
    return presenter.exchange(p);
}

std::vector<std::u16string> TakeRecordedMessages() {
    std::lock_guard lock(recordedMutex);
    std::vector<std::u16string> out;
    out.swap(recorded);
    return out;
}

}  // namespace platform
