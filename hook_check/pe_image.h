// A PE image read from its file's bytes, without the system's image services, so that it is read the
// same on every platform and can be fuzzed anywhere.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "image.h"

// `size` bytes at `data` read as a PE32 or PE32+ image, as the Windows loader maps them: not_an_image
// where they are no PE image; damaged, with `why`, where the loader refuses its headers or section
// table; else ok, with what else the loader refuses in `image.damage`, and the entry looked up as the
// loader looks it up for an import whose hint is `entry_hint`. Nothing outside the bytes is read; time
// and memory are proportional to `size`.
ImageRead read_pe(const unsigned char* data, size_t size, uint32_t entry_hint, Image& image, std::string& why);
