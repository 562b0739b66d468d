#include "platform/core/handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/wincore.h"

namespace platform {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    std::uintptr_t next = 0x100;  // keeps clear of NULL and of small integers used as ids
};

HandleTable& Table() {
    // Never destroyed: worker threads may still look handles up while the process exits.
    static HandleTable* table = new HandleTable;
    return *table;
}

thread_local WaitDispatcher* threadDispatcher = nullptr;

}  // namespace

WaitDispatcher* SetThreadWaitDispatcher(WaitDispatcher* dispatcher) {
    return std::exchange(threadDispatcher, dispatcher);
}

WaitDispatcher* ActiveWaitDispatcher() {
    return threadDispatcher != nullptr && threadDispatcher->Active() ? threadDispatcher : nullptr;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    std::uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end()) return nullptr;
    return it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

}  // namespace platform

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<platform::KernelObject> object = platform::RemoveHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->OnClose();
    return TRUE;
}
