"""What the tests read of Windows images, through pefile."""
import pefile

RT_VERSION, RT_MANIFEST = 16, 24
# {architecture: (the machine its images name in their file header, their optional header's magic)}
MACHINES = {"x64": (0x8664, 0x20B), "x86": (0x14C, 0x10B), "arm64": (0xAA64, 0x20B)}
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def load(path):
    return pefile.PE(path)


def imports(image):
    """{DLL name: [imported names]}."""
    return {entry.dll.decode(): [i.name.decode() if i.name else "#%d" % i.ordinal for i in entry.imports]
            for entry in image.DIRECTORY_ENTRY_IMPORT}


def resources(image):
    """[(type, name, language, bytes)] for every resource; ids as numbers, names as strings."""
    found = []
    if not hasattr(image, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.append((kind.id, name.id if name.id is not None else str(name.name), language.id,
                              image.get_data(data.OffsetToData, data.Size)))
    return found


def version_info(image):
    """(file version, product version, {string name: value}) of the VERSIONINFO resource."""
    fixed = image.VS_FIXEDFILEINFO[0]

    def version(most, least):
        return most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF

    strings = {key.decode(): value.decode() for info in image.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for key, value in table.entries.items()}
    return (version(fixed.FileVersionMS, fixed.FileVersionLS), version(fixed.ProductVersionMS, fixed.ProductVersionLS),
            strings)


def signature_size(image):
    """The size of the Authenticode signature (the security directory); 0 for an unsigned image."""
    return image.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].Size
