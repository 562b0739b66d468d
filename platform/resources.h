// How a program's resources are compiled into it and found again at run time.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

namespace platform {

// One resource: a numbered or named type, an integer id and its bytes.
struct ResourceEntry {
    WORD typeId;            // numbered type (RT_*), or 0 when typeName is used
    const WCHAR* typeName;  // named type such as u"FIRMWARE", or nullptr
    WORD id;
    const void* data;
    std::size_t size;
};

struct StringEntry {
    UINT id;
    const WCHAR* text;
};

struct ResourceSet {
    const ResourceEntry* entries;
    std::size_t entryCount;
    const StringEntry* strings;
    std::size_t stringCount;
};

// Makes `set` the program's resources (what a NULL module finds); returns the previous set.
// The set must outlive every lookup.
const ResourceSet* SetProgramResources(const ResourceSet* set);
const ResourceSet* ProgramResources();

}  // namespace platform
