"""Just enough of a PE32+ reader to check what a built Windows executable declares."""
import struct

IMPORT_DIRECTORY, RESOURCE_DIRECTORY = 1, 2
RT_VERSION = 16


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as image:
            self.data = image.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("%s is not a PE image" % path)
        (self.machine, sections, _, self.symbol_table, self.symbol_count, optional_size,
         _) = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", self.data, optional)[0]
        (self.subsystem_version_major, self.subsystem_version_minor) = struct.unpack_from(
            "<HH", self.data, optional + 48)
        self.subsystem = struct.unpack_from("<H", self.data, optional + 68)[0]
        self.directories = [struct.unpack_from("<II", self.data, optional + 112 + 8 * i)
                            for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", self.data, table + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for _, virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise ValueError("RVA %#x is in no section" % rva)

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{DLL name: [imported names]} as the import table lists them."""
        found = {}
        rva = self.directories[IMPORT_DIRECTORY][0]
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                return found
            names, entry = [], self.offset(lookup or thunks)
            while (thunk := struct.unpack_from("<Q", self.data, entry)[0]) != 0:
                names.append("#%d" % (thunk & 0xFFFF) if thunk >> 63 else self.string((thunk & 0x7FFFFFFF) + 2))
                entry += 8
            found[self.string(name)] = names
            rva += 20

    def resources(self):
        """[(type, name, language, bytes)] for every resource, ids as numbers, names as strings."""
        if not self.directories[RESOURCE_DIRECTORY][0]:
            return []
        base = self.offset(self.directories[RESOURCE_DIRECTORY][0])

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                key, value = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from("<H", self.data, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode("utf-16-le")
                yield key, value

        found = []
        for kind, names in entries(0):
            for name, languages in entries(names & 0x7FFFFFFF):
                for language, leaf in entries(languages & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    found.append((kind, name, language, self.data[self.offset(rva):self.offset(rva) + size]))
        return found

    def version_info(self):
        """The VERSIONINFO resource: (file version, product version, {string name: value})."""
        data = next(data for kind, _, _, data in self.resources() if kind == RT_VERSION)

        def block(at):
            # Each block: length, value length, type (1: text), key, value, child blocks, each
            # aligned to 4 bytes.
            length, value_length, text = struct.unpack_from("<HHH", data, at)
            key_end = at + 6
            while data[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = data[at + 6:key_end].decode("utf-16-le")
            value_at = (key_end + 2 + 3) & ~3
            value_size = value_length * 2 if text else value_length
            value = data[value_at:value_at + value_size]
            children, child = [], (value_at + value_size + 3) & ~3
            while child < at + length:
                children.append(block(child))
                child = (child + children[-1][3] + 3) & ~3
            return key, (value.decode("utf-16-le").rstrip("\0") if text else value), children, length

        key, fixed, children, _ = block(0)
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        if key != "VS_VERSION_INFO" or signature != 0xFEEF04BD:
            raise ValueError("not a VERSIONINFO resource")
        strings = {name: value for child_key, _, tables, _ in children if child_key == "StringFileInfo"
                   for _, _, entries, _ in tables for name, value, _, _ in entries}
        return _version(file_ms, file_ls), _version(product_ms, product_ls), strings


def _version(most, least):
    return most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF
