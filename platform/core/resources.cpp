#include "platform/resources.h"

#include <atomic>

#include "platform/wincore.h"

namespace platform {
namespace {
std::atomic<const ResourceSet*> programResources{nullptr};
// The program is the only module; this token stands for it.
char moduleToken;
}  // namespace

const ResourceSet* SetProgramResources(const ResourceSet* set) {
    return programResources.exchange(set);
}
const ResourceSet* ProgramResources() {
    return programResources.load();
}

}  // namespace platform

namespace {

bool SameName(const WCHAR* a, const WCHAR* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

bool TypeMatches(const platform::ResourceEntry& e, LPCWSTR type) {
    if (IS_INTRESOURCE(type)) {
        return e.typeName == nullptr &&
               e.typeId == static_cast<WORD>(reinterpret_cast<std::uintptr_t>(type));
    }
    return e.typeName != nullptr && SameName(e.typeName, type);
}

bool KnownModule(HMODULE module) {
    return module == nullptr || module == &platform::moduleToken;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName != nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return &platform::moduleToken;
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    const platform::ResourceSet* set = platform::ProgramResources();
    if (!KnownModule(module) || set == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    if (!IS_INTRESOURCE(name) || type == nullptr) {  // resources are addressed by integer id
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const WORD id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(name));
    bool typeSeen = false;
    for (std::size_t i = 0; i < set->entryCount; ++i) {
        const platform::ResourceEntry& e = set->entries[i];
        if (!TypeMatches(e, type)) continue;
        typeSeen = true;
        if (e.id == id) return const_cast<platform::ResourceEntry*>(&e);
    }
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    if (!KnownModule(module) || resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(static_cast<platform::ResourceEntry*>(resource)->data);
}

LPVOID LockResource(HGLOBAL loaded) {
    return loaded;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    if (!KnownModule(module) || resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(static_cast<platform::ResourceEntry*>(resource)->size);
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = 0;
    const platform::ResourceSet* set = platform::ProgramResources();
    if (!KnownModule(instance) || set == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    for (std::size_t i = 0; i < set->stringCount; ++i) {
        if (set->strings[i].id != id) continue;
        const WCHAR* text = set->strings[i].text;
        int n = 0;
        while (n < capacity - 1 && text[n] != 0) {
            buffer[n] = text[n];
            ++n;
        }
        buffer[n] = 0;  // a text longer than the buffer is cut, never overrun
        return n;
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
}
