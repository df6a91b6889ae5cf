"""Damaged copies of a sound program or library image, for the tests of hook_check: the file cut at
every section's boundary and inside its headers, header fields bent, directories and segments moved
out of range, counts made huge, the tables the loaders look names up in bent so that they miss the
entry, names that a terminal would take as commands. Each case is (name, bytes). Beside them, images
whose many entries point at one long name (`elf_needing`, `pe_exporting`), and, run as a script, one
of those written to a file for the fuzz targets' seeds."""
import os
import struct
import sys

import pefile

HUGE = 0xFFFFFFF0
PAGE = 0x1000
DT_NEEDED, DT_HASH, DT_STRTAB, DT_SYMTAB, DT_STRSZ, DT_RUNPATH, DT_GNU_HASH = 1, 4, 5, 6, 10, 29, 0x6FFFFEF5
DT_VERNEED, DT_VERNEEDNUM = 0x6FFFFFFE, 0x6FFFFFFF
DT_VERSYM, DT_VERDEF, DT_VERDEFNUM = 0x6FFFFFF0, 0x6FFFFFFC, 0x6FFFFFFD
DT_FILTER, DT_FLAGS_1, DF_1_NODEFLIB = 0x7FFFFFFF, 0x6FFFFFFB, 0x800
# Library names no system has, less their extension: one with a terminal's escape that would colour
# what follows it, one of 5,000 bytes.
ODD_NAMES = [b"\x1b[31mred", b"n" * 5000]


def _set(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into("<" + fmt, data, offset, value)
    return bytes(data)


def _cuts(data, boundaries):
    for offset in sorted(set(b for b in boundaries if 0 < b < len(data))):
        yield "cut at 0x%x" % offset, data[:offset]


def _pe_image(data):
    image = pefile.PE(data=data, fast_load=True)
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
                                              pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return image


def _pe_appended(data, build, characteristics=0x40000040, name=b".names"):
    """`data` with a section `name` appended, a header added to its section table for it; its bytes are
    `build(rva)`, given the RVA it lies at, and it is read-only initialised data unless
    `characteristics` say otherwise. Gives the new bytes and that RVA."""
    image = _pe_image(data)
    optional = image.OPTIONAL_HEADER
    table_end = image.sections[-1].get_file_offset() + 40
    if table_end + 40 > optional.SizeOfHeaders:
        raise ValueError("no room for another section header")
    rva = _align(max(s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData) for s in image.sections),
                 optional.SectionAlignment)
    payload = build(rva)
    at = _align(len(data), optional.FileAlignment)
    raw = _align(len(payload), optional.FileAlignment)
    appended = bytearray(data) + bytes(at - len(data)) + payload + bytes(raw - len(payload))
    struct.pack_into("<8sIIIIIIHHI", appended, table_end, name, len(payload), rva, raw, at, 0, 0, 0, 0,
                     characteristics)
    struct.pack_into("<H", appended, image.FILE_HEADER.get_field_absolute_offset("NumberOfSections"),
                     image.FILE_HEADER.NumberOfSections + 1)
    struct.pack_into("<I", appended, optional.get_field_absolute_offset("SizeOfImage"),
                     _align(rva + len(payload), optional.SectionAlignment))
    return bytes(appended), rva


def _pe_directory_appended(image, data, entry, size, build, **section):
    """`data` (of `image`) with a section appended as _pe_appended makes it, which its data directory
    `entry` points at, `size` bytes of it."""
    appended, rva = _pe_appended(data, build, **section)
    directory = image.OPTIONAL_HEADER.DATA_DIRECTORY[entry]
    return _set(_set(appended, directory.get_field_absolute_offset("VirtualAddress"), "I", rva),
                directory.get_field_absolute_offset("Size"), "I", size)


def pe_exporting(data, count, length, apart=False):
    """`data` exporting its first function under `count` names, every one the same name of `length`
    bytes (`apart`: each a copy of its own), through an export directory appended to it."""
    image = _pe_image(data)
    export = image.DIRECTORY_ENTRY_EXPORT.struct
    function = struct.unpack_from("<I", data, image.get_offset_from_rva(export.AddressOfFunctions))[0]

    def build(rva):
        functions, names = rva + 40, rva + 44
        ordinals, name = names + 4 * count, names + 6 * count
        return (struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, export.Name, 1, 1, count, functions, names, ordinals) +
                struct.pack("<I", function) +
                b"".join(struct.pack("<I", name + (length + 1) * i * apart) for i in range(count)) +
                bytes(2 * count) + (b"n" * length + b"\0") * (count if apart else 1))

    return _pe_directory_appended(image, data, 0, 40, build)


def pe_forwarding(data, forwards):
    """`data` exporting only `forwards` [(name, forwarder)], each forwarded, through an export directory
    appended to it, whose size takes in the forwarders' texts as the loader requires."""
    image = _pe_image(data)
    forwards = sorted(forwards)
    count = len(forwards)
    texts, names, forwarders = b"", [], []
    for name, forwarder in forwards:
        names.append(len(texts))
        texts += name + b"\0"
        forwarders.append(len(texts))
        texts += forwarder + b"\0"
    size = 40 + 10 * count + len(texts)

    def build(rva):
        functions, named, ordinals = rva + 40, rva + 40 + 4 * count, rva + 40 + 8 * count
        at = ordinals + 2 * count
        return (struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, image.DIRECTORY_ENTRY_EXPORT.struct.Name, 1, count, count,
                            functions, named, ordinals) +
                b"".join(struct.pack("<I", at + offset) for offset in forwarders) +
                b"".join(struct.pack("<I", at + offset) for offset in names) +
                b"".join(struct.pack("<H", i) for i in range(count)) + texts)

    return _pe_directory_appended(image, data, 0, size, build)


def pe_hybrid(data):
    """`data` (PE32+) marked as the hybrid image that an ARM64EC (x86-64 by its header) or ARM64X (ARM64)
    one is: its load configuration, appended to it, points at hybrid (CHPE) metadata, which is zeros."""
    image = _pe_image(data)
    size = 256  # a load configuration's size reaches past its pointer to hybrid metadata, at 200

    def build(rva):
        return struct.pack("<I", size) + bytes(196) + struct.pack("<Q", image.OPTIONAL_HEADER.ImageBase + rva + size) + \
            bytes(size - 208 + 64)

    return _pe_directory_appended(image, data, 10, size, build)


def pe_importing(data, names):
    """`data` with its first imports renamed `names`, those kept in a section appended to it."""
    image = _pe_image(data)
    table = b"".join(name + b"\0" for name in names)
    renamed, rva = _pe_appended(data, lambda rva: table)
    for entry, name, at in zip(image.DIRECTORY_ENTRY_IMPORT, names, range(len(names))):
        renamed = _set(renamed, entry.struct.get_field_absolute_offset("Name"), "I",
                       rva + len(b"".join(n + b"\0" for n in names[:at])))
    return renamed


def pe_importing_more(data, imports, lookup=True):
    """`data` importing also `imports`, [(library name, [functions])], each library through a
    descriptor of its own after the image's own, in an import directory appended to it. A function is
    imported by name (bytes), a name that repeats kept once, or by ordinal (a number). Without
    `lookup`, each library's address table is its lookup table too, as old linkers wrote them."""
    image = _pe_image(data)
    width = 8 if image.OPTIONAL_HEADER.Magic == 0x20B else 4
    own = [entry.struct for entry in image.DIRECTORY_ENTRY_IMPORT]

    def build(rva):
        tables_at = rva + 20 * (len(own) + len(imports) + 1)
        tables = bytearray()
        texts_at = tables_at + sum((2 if lookup else 1) * width * (len(functions) + 1) for _, functions in imports)
        texts, placed = bytearray(), {}

        def text(value):
            if value not in placed:
                placed[value] = texts_at + len(texts)
                texts.extend(value + b"\0")
            return placed[value]

        descriptors = b"".join(struct.pack("<IIIII", d.OriginalFirstThunk, d.TimeDateStamp, d.ForwarderChain, d.Name,
                                           d.FirstThunk) for d in own)
        copies = 2 if lookup else 1
        for library, functions in imports:
            # A hint/name entry: its hint, 0, then its name.
            ordinal = 1 << (8 * width - 1)
            thunks = b"".join(struct.pack("<Q" if width == 8 else "<I", ordinal | name if isinstance(name, int) else
                                          text(b"\0\0" + name)) for name in functions)
            thunks += bytes(width)
            table = tables_at + len(tables)
            tables.extend(thunks * copies)
            descriptors += struct.pack("<IIIII", table if lookup else 0, 0, 0, text(library),
                                       table + len(thunks) * (copies - 1))
        return descriptors + bytes(20) + bytes(tables) + bytes(texts)

    # Writable, for the loader binds into the address tables it holds.
    return _pe_directory_appended(image, data, 1, 20 * (len(own) + len(imports) + 1), build,
                                  characteristics=0xC0000040)


def spellings(name, count):
    """`count` names of the file `name` beside its importer, each spelt apart from the others: in its
    letters' cases, and behind './' and '.\\' folders."""
    letters = [i for i, c in enumerate(name) if c.isalpha()]
    found = []
    for i in range(count):
        cased = bytearray(name.encode())
        for bit, at in enumerate(letters):
            if i >> bit & 1:
                cased[at] ^= 0x20
        folders = i >> len(letters)
        prefix = b"".join(b"./" if folders >> bit & 1 else b".\\" for bit in range(folders.bit_length()))
        found.append(prefix + bytes(cased))
    return found


def pe_sectioned(data):
    """`data` with as many sections as its headers can hold before its first section's pages: its
    headers grown to that page, the file's data after them moved along, and a page of zeros (no file
    data) appended as each new section."""
    image = _pe_image(data)
    optional = image.OPTIONAL_HEADER
    old, new = optional.SizeOfHeaders, image.sections[0].VirtualAddress
    shift = new - old
    moved = bytearray(data[:old] + bytes(shift) + data[old:])
    for section in image.sections:
        if section.PointerToRawData:
            struct.pack_into("<I", moved, section.get_field_absolute_offset("PointerToRawData"),
                             section.PointerToRawData + shift)
    if image.FILE_HEADER.PointerToSymbolTable:
        struct.pack_into("<I", moved, image.FILE_HEADER.get_field_absolute_offset("PointerToSymbolTable"),
                         image.FILE_HEADER.PointerToSymbolTable + shift)
    struct.pack_into("<I", moved, optional.get_field_absolute_offset("SizeOfHeaders"), new)
    table = image.sections[-1].get_file_offset() + 40
    count = image.FILE_HEADER.NumberOfSections + (new - table) // 40
    rva = _align(max(s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData) for s in image.sections), PAGE)
    for at in range(table, new - 39, 40):
        struct.pack_into("<8sIIIIIIHHI", moved, at, b".zero", PAGE, rva, 0, 0, 0, 0, 0, 0, 0x40000080)
        rva += PAGE
    struct.pack_into("<H", moved, image.FILE_HEADER.get_field_absolute_offset("NumberOfSections"), count)
    struct.pack_into("<I", moved, optional.get_field_absolute_offset("SizeOfImage"), rva)
    return bytes(moved)


def pe_api_sets(data, sets):
    """`data` holding an API set schema of format 6 in a `.apiset` section, as the system's
    apisetschema.dll does: `sets` [(name, [(importer, library)])], the first library each set's own
    for any importer ("" its importer)."""
    def build(rva):
        texts, placed = bytearray(), {}
        values_at = 28 + 24 * len(sets)
        texts_at = values_at + 20 * sum(len(values) for _, values in sets)

        def text(value):
            if value not in placed:
                placed[value] = texts_at + len(texts)
                texts.extend(value.encode("utf-16-le"))
            return placed[value], 2 * len(value)

        entries, values = bytearray(), bytearray()
        for name, hosts in sets:
            at, length = text(name)
            entries += struct.pack("<6I", 0, at, length, 2 * name.rindex("-"), values_at + len(values), len(hosts))
            for importer, library in hosts:
                values += struct.pack("<5I", 0, *text(importer), *text(library))
        size = texts_at + len(texts)
        return struct.pack("<7I", 6, size, 0, len(sets), 28, size, 31) + bytes(entries + values + texts)

    return _pe_appended(data, build, name=b".apiset")[0]


def pe_cases(data):
    """A PE image's damaged copies."""
    image = _pe_image(data)
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
        # The names out of order, the first kept and the rest reversed: the loader's binary search,
        # and its hint, miss the entry among B, SetTeskShellHook, Y and Z.
        if export.NumberOfNames >= 2:
            names = image.get_offset_from_rva(export.AddressOfNames)
            ordinals = image.get_offset_from_rva(export.AddressOfNameOrdinals)
            count = export.NumberOfNames
            order = [0] + list(range(count - 1, 0, -1))
            unsorted = bytearray(data)
            for table, width in ((names, 4), (ordinals, 2)):
                entries = [data[table + width * i:table + width * (i + 1)] for i in range(count)]
                unsorted[table:table + width * count] = b"".join(entries[i] for i in order)
            yield "export names out of order", bytes(unsorted)
    if hasattr(image, "DIRECTORY_ENTRY_IMPORT"):
        yield "odd names imported", pe_importing(data, [name + b".dll" for name in ODD_NAMES])
    yield "sections up to its first page", pe_sectioned(data)


def _align(value, alignment):
    return -(-value // alignment) * alignment


def _elf_headers(data):
    """[(file offset of the header, p_type, p_offset, p_vaddr, p_filesz, p_memsz)] of a 64-bit image's
    program headers."""
    (e_phoff,) = struct.unpack_from("<Q", data, 0x20)
    (e_phnum,) = struct.unpack_from("<H", data, 0x38)
    return [(at,) + struct.unpack_from("<I4xQQ8xQQ", data, at) for at in (e_phoff + 56 * i for i in range(e_phnum))]


def _elf_offset(data, address):
    """The file offset of `address` in a loadable segment's data."""
    for _, kind, offset, vaddr, filesz, _ in _elf_headers(data):
        if kind == 1 and vaddr <= address < vaddr + filesz:
            return offset + address - vaddr
    raise ValueError("address 0x%x is in no segment's data" % address)


def _elf_dynamic(data):
    """The file offset of the dynamic array, and its entries [(tag, value)] before its DT_NULL."""
    at = next(offset for _, kind, offset, _, _, _ in _elf_headers(data) if kind == 2)
    entries = []
    while True:
        tag, value = struct.unpack_from("<qQ", data, at + 16 * len(entries))
        if tag == 0:
            return at, entries
        entries.append((tag, value))


def _elf_moved_dynamic(data, entries, tail):
    """`data` with its dynamic array made `entries` (a DT_NULL added) with `tail` after it, in a
    segment appended to the file at _elf_end(data): its PT_NOTE's header, which the linker needs not,
    maps it."""
    base = _elf_end(data)
    payload = b"".join(struct.pack("<qQ", tag, value) for tag, value in entries) + bytes(16) + tail
    offset = _align(len(data), PAGE)
    moved = bytearray(data) + bytes(offset - len(data)) + payload
    headers = _elf_headers(data)
    note = next(at for at, kind, _, _, _, _ in headers if kind == 4)
    struct.pack_into("<IIQQQQQQ", moved, note, 1, 6, offset, base, base, len(payload), len(payload), PAGE)
    dynamic = next(at for at, kind, _, _, _, _ in headers if kind == 2)
    struct.pack_into("<QQQQQ", moved, dynamic + 8, offset, base, base, len(payload) - len(tail), len(payload) - len(tail))
    return bytes(moved)


def _elf_end(data):
    return _align(max(vaddr + memsz for _, kind, _, vaddr, _, memsz in _elf_headers(data) if kind == 1), PAGE)


def elf_needing(data, names, runpath=None, named=(), flags_1=None):
    """`data` needing first each library of `names` (a list, whose items may repeat), each name kept
    once in its string table, which is moved to the appended segment to hold them; with `runpath` its
    DT_RUNPATH, with each (tag, name) of `named` an entry naming it, and with `flags_1` its DT_FLAGS_1."""
    _, entries = _elf_dynamic(data)
    table = dict(entries)
    tail = data[_elf_offset(data, table[DT_STRTAB]):][:table[DT_STRSZ]]
    named = ([(DT_RUNPATH, runpath)] if runpath is not None else []) + list(named)
    added = [name for name in names] + [name for _, name in named]
    tail_at = _elf_end(data) + 16 * (len(names) + len(named) + len(entries) + (flags_1 is not None) + 1)
    offsets = {}
    for name in added:
        if name not in offsets:
            offsets[name] = len(tail)
            tail += name + b"\0"
    entries = [(tag, {DT_STRTAB: tail_at, DT_STRSZ: len(tail)}.get(tag, value)) for tag, value in entries]
    entries = [(tag, offsets[name]) for tag, name in named] + entries
    entries += [(DT_FLAGS_1, flags_1)] if flags_1 is not None else []
    return _elf_moved_dynamic(data, [(DT_NEEDED, offsets[name]) for name in names] + entries, tail)


def elf_self_spellings(data, name, size):
    """`data` (the library `name`) needing itself under other spellings (./NAME, .//./NAME, ... and
    $ORIGIN/NAME), as many as make it `size` bytes, with RUNPATH $ORIGIN."""
    spellings, total, i = [], len(data) + 4096, 0
    while total < size:
        spelled = b"".join(b".//" if i >> bit & 1 else b"./" for bit in range(16)) + name
        spellings.append(b"$ORIGIN/" + spelled if i % 2 else spelled)
        total += 16 + len(spellings[-1]) + 1
        i += 1
    return elf_needing(data, spellings, runpath=b"$ORIGIN")


def elf_many_segments(data, count):
    """`data` with `count` empty loadable segments after its own, and its hash table made a DT_HASH
    whose chain for every name loops between two symbols that are not the entry."""
    _, entries = _elf_dynamic(data)
    table = dict(entries)
    symbols, strings = _elf_offset(data, table[DT_SYMTAB]), _elf_offset(data, table[DT_STRTAB])
    others = [i for i in range(1, 4) if data[strings + struct.unpack_from("<I", data, symbols + 24 * i)[0]:]
              .split(b"\0")[0] != b"SetTeskShellHook"][:2]
    links = {others[0]: others[1], others[1]: others[0]}
    # Its table of chains said to be as long as a table can be: only the file bounds the walk.
    hashing = struct.pack("<II", 1, 0xFFFFFFFF) + struct.pack("<I", others[0]) + b"".join(
        struct.pack("<I", links.get(i, 0)) for i in range(max(others) + 1))
    hash_at = _elf_end(data) + 16 * (len(entries) + 1)
    entries = [(DT_HASH, hash_at) if tag == DT_GNU_HASH else (tag, value) for tag, value in entries]
    moved = bytearray(_elf_moved_dynamic(data, entries, hashing))
    phoff = _align(len(moved), 8)
    headers = [moved[at:at + 56] for at, *_ in _elf_headers(moved)]
    end = _elf_end(moved)
    headers += [struct.pack("<IIQQQQQQ", 1, 4, 0, end, end, 0, 0, PAGE)] * count
    moved += bytes(phoff - len(moved)) + b"".join(headers)
    struct.pack_into("<Q", moved, 0x20, phoff)
    struct.pack_into("<H", moved, 0x38, len(headers))
    return bytes(moved)


def elf_needing_version(data, version):
    """`data` with the first version it needs of a library (DT_VERNEED) whose name is as long as
    `version` renamed `version`, its hash made anew."""
    _, entries = _elf_dynamic(data)
    table = dict(entries)
    strings = _elf_offset(data, table[DT_STRTAB])
    need = _elf_offset(data, table[DT_VERNEED])
    for _ in range(table[DT_VERNEEDNUM]):
        count, aux_next, need_next = struct.unpack_from("<2xH4xII", data, need)
        aux = need + aux_next
        for _ in range(count):
            name_at = strings + struct.unpack_from("<I", data, aux + 8)[0]
            if len(data[name_at:].split(b"\0")[0]) == len(version):
                renamed = _set(data, aux, "I", _elf_hash(version))
                return renamed[:name_at] + version + renamed[name_at + len(version):]
            aux += struct.unpack_from("<I", data, aux + 12)[0]
        need += need_next
    raise ValueError("no version it needs is named in %d bytes" % len(version))


def elf_needing_base_version(data):
    """`data` requiring, of the first library it needs versions of (DT_VERNEED) that names one in as
    many bytes as the library's own name or more, that library's base version, which bears that
    name: in place of that version, the symbols it bound under that version bound under none."""
    _, entries = _elf_dynamic(data)
    table = dict(entries)
    strings = _elf_offset(data, table[DT_STRTAB])
    need = _elf_offset(data, table[DT_VERNEED])
    name = lambda at: data[strings + struct.unpack_from("<I", data, at)[0]:].split(b"\0")[0]
    def versions_of(at, count):  # where each version entry of one needed library is
        for _ in range(count):
            yield at
            at += struct.unpack_from("<I", data, at + 12)[0]
    aux = None
    while aux is None:
        (count, file_at, aux_next, need_next) = struct.unpack_from("<2xHIII", data, need)
        base = data[strings + file_at:].split(b"\0")[0]
        aux = next((at for at in versions_of(need + aux_next, count) if len(name(at + 8)) >= len(base)), None)
        if aux is None:
            if need_next == 0:
                raise ValueError("no version it needs is named in as many bytes as its library")
            need += need_next
    name_at = strings + struct.unpack_from("<I", data, aux + 8)[0]
    (index,) = struct.unpack_from("<H", data, aux + 6)
    renamed = bytearray(_set(data, aux, "I", _elf_hash(base)))
    renamed[name_at:name_at + len(name(aux + 8))] = base.ljust(len(name(aux + 8)), b"\0")
    # As many version entries as the dynamic symbols, which the section headers count.
    (e_shoff,) = struct.unpack_from("<Q", data, 0x28)
    (e_shentsize, e_shnum) = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<4xIQQQQ", data, e_shoff + i * e_shentsize)[0::4] for i in range(e_shnum)]
    symbols = next(size // 24 for kind, size in sections if kind == 11)
    versions = _elf_offset(data, table[DT_VERSYM])
    for i in range(symbols):
        if struct.unpack_from("<H", data, versions + 2 * i)[0] & 0x7FFF == index:
            struct.pack_into("<H", renamed, versions + 2 * i, 1)
    return bytes(renamed)


def elf_version_hash_bent(data):
    """`data` with the hash of the first version it requires (DT_VERNEED) made another than its name's."""
    table = dict(_elf_dynamic(data)[1])
    need = _elf_offset(data, table[DT_VERNEED])
    aux = need + struct.unpack_from("<I", data, need + 8)[0]
    return _set(data, aux, "I", struct.unpack_from("<I", data, aux)[0] ^ 1)


def _elf_tables(data, tables, values):
    """`data` with the tables of its dynamic array `tables` ({tag: bytes}) made anew in the appended
    segment, each at an offset of 8, and its entries `values` ({tag: value}) set; its versions and hash
    tables dropped but those given."""
    _, entries = _elf_dynamic(data)
    dropped = {DT_GNU_HASH, DT_HASH, DT_VERSYM, DT_VERDEF, DT_VERDEFNUM, DT_VERNEED, DT_VERNEEDNUM}
    entries = [(tag, value) for tag, value in entries if tag not in dropped | set(tables) | set(values)]
    entries += list(values.items())
    at = _elf_end(data) + 16 * (len(entries) + len(tables) + 1)
    tail = b""
    for tag, table in tables.items():
        entries.append((tag, at + len(tail)))
        tail += table + bytes(_align(len(table), 8) - len(table))
    return _elf_moved_dynamic(data, entries, tail)


def elf_symbols_naming(data, count, length):
    """`data` whose dynamic symbols are `count` functions it defines, all named by one name of `length`
    bytes after its own names, counted by a DT_HASH whose one chain is empty."""
    table = dict(_elf_dynamic(data)[1])
    strings = data[_elf_offset(data, table[DT_STRTAB]):][:table[DT_STRSZ]] + b"n" * length + b"\0"
    named = table[DT_STRSZ]
    symbols = bytes(24) + struct.pack("<IBBHQQ", named, 0x12, 0, 1, PAGE, 0) * (count - 1)
    hashing = struct.pack("<III", 1, count, 0) + bytes(4 * count)
    return _elf_tables(data, {DT_STRTAB: strings, DT_SYMTAB: symbols, DT_HASH: hashing}, {DT_STRSZ: len(strings)})


def elf_needing_versions_of_one_chain(data, count, length):
    """`data` requiring versions (DT_VERNEED) by `count` entries that all lead into one chain of
    `length` versions."""
    needs = b"".join(struct.pack("<HHIII", 1, length, 1, 16 * (count - i), 16) for i in range(count))
    chain = struct.pack("<IHHII", 0, 0, 2, 1, 16) * length
    return _elf_tables(data, {DT_VERNEED: needs + chain}, {DT_VERNEEDNUM: count})


def _elf_hash(name):
    """A name's hash as DT_HASH and the version tables keep it."""
    value = 0
    for byte in name:
        value = (value << 4) + byte
        high = value & 0xF0000000
        value = (value ^ (high >> 24)) & ~high
    return value


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

    # No string table: the dynamic array without its DT_STRTAB, one entry shorter.
    at, entries = _elf_dynamic(data)
    kept = b"".join(struct.pack("<qQ", tag, value) for tag, value in entries if tag != DT_STRTAB) + bytes(16)
    yield "no DT_STRTAB", data[:at] + kept + data[at + len(kept):]
    # The GNU hash table's bloom filter zeroed: it rules out every name, and the linker finds none.
    if DT_GNU_HASH in dict(entries):
        table = _elf_offset(data, dict(entries)[DT_GNU_HASH])
        (words,) = struct.unpack_from("<I", data, table + 8)
        yield "GNU hash bloom zeroed", data[:table + 16] + bytes(8 * words) + data[table + 16 + 8 * words:]
    yield "odd names needed", elf_needing(data, [name + b".so" for name in ODD_NAMES])
    # Refused by the dynamic linker only as a library: another system's OS ABI; the first and the last
    # segments swapped, which leaves it nothing to map; a version of the C library no system has.
    yield "EI_OSABI 9", _set(data, 7, "B", 9)
    loads = [at for at, kind, *_ in _elf_headers(data) if kind == 1]
    swapped = bytearray(data)
    swapped[loads[0]:loads[0] + 56], swapped[loads[-1]:loads[-1] + 56] = \
        data[loads[-1]:loads[-1] + 56], data[loads[0]:loads[0] + 56]
    yield "PT_LOADs out of order", bytes(swapped)
    if DT_VERNEED in dict(entries):
        yield "needs GLIBC_9.9.9", elf_needing_version(data, b"GLIBC_9.9.9")


# The shapes that cost a reader the most or that only the dynamic linker refuses, made small, for the
# fuzz targets' seeds: each is (file name, how it is made from an ELF library that needs a versioned
# libc).
ELF_SEEDS = [
    ("many_segments.so", lambda data: elf_many_segments(data, 2000)),
    ("own_spellings.so", lambda data: elf_self_spellings(data, b"libTeskShellHook64.so", 40000)),
    ("many_missing.so", lambda data: elf_needing(data, [b"%x" % i for i in range(2000)])),
    ("needs_glibc_9.so", lambda data: elf_needing_version(data, b"GLIBC_9.9.9")),
    ("os_abi_9.so", lambda data: dict(elf_cases(data))["EI_OSABI 9"]),
    ("loads_out_of_order.so", lambda data: dict(elf_cases(data))["PT_LOADs out of order"]),
]

# PE images in the shapes that cost a reader the most, and those that lead the loader on: made small
# from a library that imports from KERNEL32.dll.
PE_SEEDS = [
    ("sections.dll", pe_sectioned),
    ("own_spellings.dll",
     lambda data: pe_importing_more(data, [(name, [b"SetTeskShellHook"]) for name in spellings("x86_64.dll", 300)])),
    ("many_missing.dll", lambda data: pe_importing_more(data, [(b"KERNEL32.dll", [b"F%d" % i for i in range(500)]),
                                                               (b"gone.dll", [7, 60000])])),
    ("forwarded.dll", lambda data: dict(pe_cases(data))["every export forwarded"]),
    ("api_sets.dll", lambda data: pe_api_sets(data, [("api-ms-win-core-x-l1-1-0", [("", "kernelbase.dll"),
                                                                                    ("kernel32.dll", "ntdll.dll")]),
                                                     ("ext-ms-win-none-l1-1-0", [])])),
]

if __name__ == "__main__":
    # damaged_images.py IMAGE COUNT LENGTH OUT: IMAGE needing (ELF) or exporting (PE) COUNT times one
    # name of LENGTH bytes, written to OUT. damaged_images.py --elf-seeds (--pe-seeds) IMAGE FOLDER:
    # ELF_SEEDS (PE_SEEDS) made of IMAGE, written to FOLDER.
    if sys.argv[1] in ("--elf-seeds", "--pe-seeds"):
        with open(sys.argv[2], "rb") as image:
            data = image.read()
        for name, make in ELF_SEEDS if sys.argv[1] == "--elf-seeds" else PE_SEEDS:
            with open(os.path.join(sys.argv[3], name), "wb") as seed:
                seed.write(make(data))
        sys.exit(0)
    source, count, length, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    with open(source, "rb") as image:
        data = image.read()
    amplified = pe_exporting(data, count, length) if data[:2] == b"MZ" else elf_needing(data, [b"n" * length] * count)
    with open(out, "wb") as image:
        image.write(amplified)
