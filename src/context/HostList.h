// Reading the host's four-word list objects: word 1 points to the first
// element, word 2 just past the last; elements are pointers.
#pragma once

#include <cstddef>

#include "quellsync_http.h"

// Number of elements; 0 for a null list, a null first word, or a list whose
// end lies before its start.
inline size_t HostListCount(const QsHostList* list) {
    if (!list || !list->first || !list->last || list->last < list->first) return 0;
    return static_cast<size_t>(list->last - list->first);
}

// Element i (i < HostListCount(list)) as a pointer to T; may be null.
template <typename T>
T* HostListAt(const QsHostList* list, size_t i) {
    return static_cast<T*>(list->first[i]);
}
