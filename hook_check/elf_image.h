// An ELF image read from its file's bytes, as the dynamic linker reads it, apart from any service of
// the system's, so that it can be fuzzed.
#pragma once

#include <stddef.h>

#include <string>

#include "image.h"

// `size` bytes at `data` read as a little-endian ELF image, through its program headers and its
// dynamic segment as glibc's dynamic linker does: not_an_image where they are no such image;
// damaged, with `why`, where the linker refuses its headers or segments; else ok, with what else it
// refuses in `image.damage`, and the entry looked up as the linker looks it up. Nothing outside the
// bytes is read; time and memory are proportional to `size`.
ImageRead read_elf(const unsigned char* data, size_t size, Image& image, std::string& why);
