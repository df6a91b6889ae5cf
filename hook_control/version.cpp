// hook_control_version, from the project's version.
#include "hook_control.h"
#include "version_number.h"

static_assert(HOOK_CONTROL_VERSION_MINOR < 256 && HOOK_CONTROL_VERSION_PATCH < 256,
              "the minor and patch versions have 8 bits each in hook_control_version");

extern "C" uint32_t hook_control_version(void)
{
    return HOOK_CONTROL_VERSION_MAJOR << 16 | HOOK_CONTROL_VERSION_MINOR << 8 | HOOK_CONTROL_VERSION_PATCH;
}
