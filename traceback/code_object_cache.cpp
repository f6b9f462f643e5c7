// CodeObjectCache: the sorted, process-wide array of code objects behind
// traceback entries, so that a site that fails again reuses its code object.
#include <cstring>

#include "traceback/traceback.h"

namespace velmo {

int bisect_code_objects(const CodeCacheEntry *entries, int count, int key) noexcept {
    int start = 0;
    int mid = 0;
    int end = count - 1;
    // Keys beyond the last entry are the common case for a growing cache.
    if (end >= 0 && key > entries[end].key) {
        return count;
    }
    while (start < end) {
        mid = start + (end - start) / 2;
        if (key < entries[mid].key) {
            end = mid;
        } else if (key > entries[mid].key) {
            start = mid + 1;
        } else {
            return mid;
        }
    }
    return key <= entries[mid].key ? mid : mid + 1;
}

PyCodeObject *find_code_object(const CodeObjectCache &cache, int key) noexcept {
    // Key 0 needs no test of its own: no entry has it.
    if (cache.entries == nullptr) {
        return nullptr;
    }
    int i = bisect_code_objects(cache.entries, cache.count, key);
    if (i >= cache.count || cache.entries[i].key != key) {
        return nullptr;
    }
    Py_INCREF(cache.entries[i].code);
    return cache.entries[i].code;
}

void insert_code_object(CodeObjectCache &cache, int key, PyCodeObject *code) noexcept {
    // Key 0 would mean "no line at all"; such entries are rare and not worth a slot.
    if (key == 0) {
        return;
    }
    if (cache.entries == nullptr) {
        auto *entries = static_cast<CodeCacheEntry *>(PyMem_Malloc(kCodeCacheStep * sizeof(CodeCacheEntry)));
        // Out of memory only costs the reuse; the entry itself is still reported.
        if (entries == nullptr) {
            return;
        }
        Py_INCREF(code);
        entries[0].code = code;
        entries[0].key = key;
        cache.entries = entries;
        cache.capacity = kCodeCacheStep;
        cache.count = 1;
        return;
    }
    int i = bisect_code_objects(cache.entries, cache.count, key);
    if (i < cache.count && cache.entries[i].key == key) {
        Py_INCREF(code);
        Py_SETREF(cache.entries[i].code, code);
        return;
    }
    if (cache.count == cache.capacity) {
        int32_t new_capacity = cache.capacity + kCodeCacheStep;
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Realloc(cache.entries, static_cast<size_t>(new_capacity) * sizeof(CodeCacheEntry)));
        if (entries == nullptr) {
            return;
        }
        cache.entries = entries;
        cache.capacity = new_capacity;
    }
    std::memmove(&cache.entries[i + 1], &cache.entries[i],
                 static_cast<size_t>(cache.count - i) * sizeof(CodeCacheEntry));
    Py_INCREF(code);
    cache.entries[i].code = code;
    cache.entries[i].key = key;
    cache.count++;
}

}  // namespace velmo
