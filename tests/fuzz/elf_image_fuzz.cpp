// The ELF reader on any bytes: it must read nothing outside them, whatever the headers say, and take
// time and memory proportional to them.
#include <stddef.h>
#include <stdint.h>

#include "elf_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Image image;
    std::string why;
    read_elf(data, size, image, why);
    return 0;
}
