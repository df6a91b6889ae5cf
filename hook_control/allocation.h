// Memory for the objects of hook_control's files that applications compile in: from the C library,
// so that no C++ runtime comes along.
#pragma once

#include <stddef.h>
#include <stdlib.h>

namespace hook_control_internal {

// A base whose `new` gives NULL where memory is short, rather than throwing.
struct CAllocated {
    static void* operator new(size_t size) noexcept
    {
        return malloc(size);
    }
    static void operator delete(void* memory)
    {
        free(memory);
    }
};

} // namespace hook_control_internal
