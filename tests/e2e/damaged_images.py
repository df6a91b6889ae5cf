"""Damaged copies of a sound program or library image, for the tests of hook_check: the file cut at
every section's boundary and inside its headers, header fields bent, directories and segments moved
out of range, counts made huge. Each case is (name, bytes)."""
import struct

import pefile

HUGE = 0xFFFFFFF0


def _set(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into("<" + fmt, data, offset, value)
    return bytes(data)


def _cuts(data, boundaries):
    for offset in sorted(set(b for b in boundaries if 0 < b < len(data))):
        yield "cut at 0x%x" % offset, data[:offset]


def pe_cases(data):
    """A PE image's damaged copies."""
    image = pefile.PE(data=data, fast_load=True)
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
                                              pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    nt = image.DOS_HEADER.e_lfanew
    optional = nt + 24
    table = optional + image.FILE_HEADER.SizeOfOptionalHeader
    boundaries = [nt + 2, nt + 12, optional + 20, table - 8, table + 20, image.OPTIONAL_HEADER.SizeOfHeaders - 1]
    for section in image.sections:
        start, size = section.PointerToRawData, section.SizeOfRawData
        boundaries += [start, start + size // 2, start + size - 1]
    yield from _cuts(data, boundaries)

    # The NT headers straddle the end of a page-sized file.
    page = bytearray(data[:4096])
    struct.pack_into("<I", page, 0x3C, 4096 - 12)
    page[4096 - 12:4096 - 8] = b"PE\0\0"
    yield "NT headers straddle the end of a page", bytes(page)

    fields = {
        "e_lfanew": (image.DOS_HEADER.get_field_absolute_offset("e_lfanew"), "I", [HUGE, len(data) - 2]),
        "Machine": (image.FILE_HEADER.get_field_absolute_offset("Machine"), "H",
                    [0xAA64, 0x14C if image.FILE_HEADER.Machine == 0x8664 else 0x8664]),
        "NumberOfSections": (image.FILE_HEADER.get_field_absolute_offset("NumberOfSections"), "H",
                             [0, 97, 0xFFFF, image.FILE_HEADER.NumberOfSections + 1]),
        "SizeOfOptionalHeader": (image.FILE_HEADER.get_field_absolute_offset("SizeOfOptionalHeader"), "H",
                                 [0, 0x10, 0xFFFF]),
        "Magic": (image.OPTIONAL_HEADER.get_field_absolute_offset("Magic"), "H", [0x107, 0x10B ^ 0x20B ^
                                                                                   image.OPTIONAL_HEADER.Magic]),
        "SectionAlignment": (image.OPTIONAL_HEADER.get_field_absolute_offset("SectionAlignment"), "I", [3, 0]),
        "FileAlignment": (image.OPTIONAL_HEADER.get_field_absolute_offset("FileAlignment"), "I", [0]),
        "SizeOfImage": (image.OPTIONAL_HEADER.get_field_absolute_offset("SizeOfImage"), "I", [0x1000]),
        "SizeOfHeaders": (image.OPTIONAL_HEADER.get_field_absolute_offset("SizeOfHeaders"), "I", [HUGE]),
        "NumberOfRvaAndSizes": (image.OPTIONAL_HEADER.get_field_absolute_offset("NumberOfRvaAndSizes"), "I",
                                [HUGE]),
    }
    first = image.sections[0]
    for field in ("VirtualAddress", "PointerToRawData", "SizeOfRawData"):
        fields["first section's " + field] = (first.get_field_absolute_offset(field), "I", [0, HUGE])
    last = image.sections[-1]
    fields["last section's VirtualSize"] = (last.get_field_absolute_offset("Misc_VirtualSize"), "I", [HUGE])
    for name, (offset, fmt, values) in fields.items():
        for value in values:
            yield "%s 0x%x" % (name, value), _set(data, offset, fmt, value)

    # Directories out of range: their RVAs past the image, their sizes past the section that holds them.
    size_of_image = image.OPTIONAL_HEADER.SizeOfImage
    for index, directory in enumerate(image.OPTIONAL_HEADER.DATA_DIRECTORY):
        if directory.VirtualAddress == 0 or index == pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]:
            continue
        rva = directory.get_field_absolute_offset("VirtualAddress")
        size = directory.get_field_absolute_offset("Size")
        for value in (HUGE, size_of_image, size_of_image - 4):
            yield "%s RVA 0x%x" % (directory.name, value), _set(data, rva, "I", value)
        yield "%s Size 0x%x" % (directory.name, HUGE), _set(data, size, "I", HUGE)
    if hasattr(image, "DIRECTORY_ENTRY_IMPORT"):
        # The loader ignores the size: one too short for a single entry hides nothing from it.
        size = image.OPTIONAL_HEADER.DATA_DIRECTORY[1].get_field_absolute_offset("Size")
        yield "IMPORT Size 0x13", _set(data, size, "I", 0x13)
        first_import = image.DIRECTORY_ENTRY_IMPORT[0].struct
        for field in ("Name", "FirstThunk", "OriginalFirstThunk"):
            yield "first import's %s 0x%x" % (field, HUGE), _set(data, first_import.get_field_absolute_offset(field),
                                                                 "I", HUGE)
    if hasattr(image, "DIRECTORY_ENTRY_EXPORT"):
        export = image.DIRECTORY_ENTRY_EXPORT.struct
        for field in ("NumberOfNames", "NumberOfFunctions", "AddressOfNames", "AddressOfFunctions",
                      "AddressOfNameOrdinals"):
            yield "export %s 0x%x" % (field, HUGE), _set(data, export.get_field_absolute_offset(field), "I", HUGE)
        # Every entry forwarded: its address inside the export directory, at the library's own name.
        functions = image.get_offset_from_rva(export.AddressOfFunctions)
        forwarded = bytearray(data)
        for i in range(export.NumberOfFunctions):
            struct.pack_into("<I", forwarded, functions + 4 * i, export.Name)
        yield "every export forwarded", bytes(forwarded)


def elf_cases(data):
    """An ELF image's damaged copies (64-bit)."""
    (e_phoff, e_shoff) = struct.unpack_from("<QQ", data, 0x20)
    (e_phentsize, e_phnum, e_shentsize, e_shnum) = struct.unpack_from("<HHHH", data, 0x36)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, e_shoff + i * e_shentsize) for i in range(e_shnum)]
    boundaries = [0x20, 0x3F, e_phoff + e_phentsize * e_phnum // 2]
    boundaries += [s[4] for s in sections if s[1] != 8] + [s[4] + s[5] // 2 for s in sections if s[1] != 8]
    yield from _cuts(data, boundaries)

    fields = {"e_type": (0x10, "H", [1, 4]), "e_phoff": (0x20, "Q", [HUGE, len(data) - 8]),
              "e_phentsize": (0x36, "H", [1, 0xFFFF]), "e_phnum": (0x38, "H", [0, 0xFFFF]),
              "e_shoff": (0x28, "Q", [HUGE]), "e_shnum": (0x3C, "H", [0xFFFF])}
    for name, (offset, fmt, values) in fields.items():
        for value in values:
            yield "%s 0x%x" % (name, value), _set(data, offset, fmt, value)

    dynamic = None
    for i in range(e_phnum):
        at = e_phoff + i * e_phentsize
        (p_type,) = struct.unpack_from("<I", data, at)
        if p_type in (1, 2):  # PT_LOAD, PT_DYNAMIC
            kind = "PT_LOAD" if p_type == 1 else "PT_DYNAMIC"
            for field, offset in (("p_offset", 8), ("p_vaddr", 16), ("p_filesz", 32)):
                yield "%s %d %s 0x%x" % (kind, i, field, HUGE), _set(data, at + offset, "Q", HUGE)
            if p_type == 2:
                dynamic = struct.unpack_from("<Q", data, at + 8)[0]
        if p_type == 1:
            yield "PT_LOAD %d p_align 3" % i, _set(data, at + 48, "Q", 3)
    # The section table says nothing of the dynamic section: the linker does not read it.
    for i, section in enumerate(sections):
        if section[1] in (6, 11):  # SHT_DYNAMIC, SHT_DYNSYM
            yield "section %d's type bent" % i, _set(data, e_shoff + i * e_shentsize + 4, "I", 1)
    # Entries of the dynamic segment pointing out of range.
    at = dynamic
    while at is not None and at + 16 <= len(data):
        (tag, value) = struct.unpack_from("<qQ", data, at)
        if tag == 0:
            break
        if tag in (1, 5, 6, 4, 0x6FFFFEF5, 29):  # NEEDED, STRTAB, SYMTAB, HASH, GNU_HASH, RUNPATH
            yield "dynamic tag %d 0x%x" % (tag, HUGE), _set(data, at + 8, "Q", HUGE)
        at += 16
