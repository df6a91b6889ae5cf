// The PE reader on any bytes, the entry looked up from the hint that their last two bytes give, and
// each function the image imports looked up in its own export table, as a library that imports
// itself has it looked up; the bytes read as an API set schema too. None must read outside them,
// whatever the headers say, and each must take time and memory proportional to them.
#include <stddef.h>
#include <stdint.h>

#include "api_sets.h"
#include "pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Image image;
    std::string why;
    const uint32_t hint = size >= 2 ? static_cast<uint32_t>(data[size - 2] | data[size - 1] << 8) : no_hint;
    if (read_pe(data, size, hint, image, why) == ImageRead::ok) {
        size_t library = 0;
        for (size_t i = 0; i < image.bindings->size(); ++i)
            image.exports_table->find(image.bindings->at(i, library));
    }
    ApiSets api_sets;
    std::string library;
    if (api_sets.read(data, size, why)) {
        for (const std::string& name : image.imports)
            api_sets.map(name, "kernel32.dll", library);
    }
    return 0;
}
