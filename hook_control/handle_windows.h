// What hook_control's Windows files hold and free by scope: handles, and memory of the process heap.
// Plain Win32: no C++ library header.
#pragma once

#include <windows.h>

namespace hook_control_internal {

// A handle closed when it goes out of scope, unless released.
struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (value && value != INVALID_HANDLE_VALUE)
            CloseHandle(value);
    }
    HANDLE release()
    {
        const HANDLE released = value;
        value = nullptr;
        return released;
    }
};

// `count` elements of the process heap, freed when it goes out of scope; none where it is out of memory.
template <typename T> struct Heap {
    T* data = nullptr;
    Heap() = default;
    explicit Heap(size_t count)
    {
        allocate(count);
    }
    Heap(const Heap&) = delete;
    Heap& operator=(const Heap&) = delete;
    ~Heap()
    {
        if (data)
            HeapFree(GetProcessHeap(), 0, data);
    }
    bool allocate(size_t count)
    {
        data = static_cast<T*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(T)));
        return data != nullptr;
    }
};

} // namespace hook_control_internal
