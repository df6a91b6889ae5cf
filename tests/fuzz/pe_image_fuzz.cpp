// The PE reader on any bytes, the entry looked up from the hint that their last two bytes give: it must
// read nothing outside them, whatever the headers say, and take time and memory proportional to them.
#include <stddef.h>
#include <stdint.h>

#include "pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Image image;
    std::string why;
    const uint32_t hint = size >= 2 ? static_cast<uint32_t>(data[size - 2] | data[size - 1] << 8) : no_hint;
    read_pe(data, size, hint, image, why);
    return 0;
}
