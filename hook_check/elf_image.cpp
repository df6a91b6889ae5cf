// An ELF image read from its bytes as glibc's dynamic linker reads it: the program headers; the
// PT_LOAD segments, which say where each address lies in the file; and the dynamic segment
// (PT_DYNAMIC), for the libraries it needs (DT_NEEDED), where it has them looked for (DT_RUNPATH, or
// DT_RPATH without one) and what it exports (DT_SYMTAB and DT_STRTAB, counted by DT_GNU_HASH or
// DT_HASH, the tables the linker looks names up in). Hazards it answers:
// - The section headers are not read: the linker never reads them, and a file whose section table
//   is bent, stripped or says something else than its dynamic segment is judged by what the linker
//   takes.
// - Every offset, address, size and count is untrusted: each read goes through `file` or `mapped`,
//   which give bytes only where all of them lie in the file (for an address, in the file's data of
//   the segment that holds it).
// - Each table is read once, and only where it lies whole in the file, so that time and memory are
//   proportional to the file however large its counts.
#include "elf_image.h"

#include <elf.h>
#include <string.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

// The linker maps segments at page granularity.
constexpr uint64_t page_size = 4096;

std::string machine_name(unsigned char elf_class, uint16_t machine)
{
    switch (machine) {
    case EM_X86_64:
        return elf_class == ELFCLASS64 ? "x86-64" : "x32";
    case EM_386:
        return "x86";
    case EM_AARCH64:
        return "AArch64";
    case EM_ARM:
        return "ARM";
    case EM_RISCV:
        return "RISC-V";
    default:
        return "ELF machine " + std::to_string(machine);
    }
}

class Elf {
public:
    Elf(const unsigned char* data, size_t size)
        : data_(data)
        , size_(size)
    {
    }

    // `length` bytes at `offset` of the file, or null where they are not all in it.
    const unsigned char* file(uint64_t offset, uint64_t length) const
    {
        return offset <= size_ && length <= size_ - offset ? data_ + offset : nullptr;
    }
    template <class T> T at(const unsigned char* place) const
    {
        T value;
        memcpy(&value, place, sizeof value);
        return value;
    }
    // The file's bytes from the address `address` to the end of the file's data of the segment that
    // holds it, and how many; none where no segment's data holds it.
    std::pair<const unsigned char*, uint64_t> mapped(uint64_t address) const
    {
        for (const Segment& s : segments) {
            if (address >= s.address && address - s.address < s.data_size)
                return {data_ + s.data_at + (address - s.address), s.data_size - (address - s.address)};
        }
        return {nullptr, 0};
    }
    const unsigned char* mapped(uint64_t address, uint64_t length) const
    {
        const std::pair<const unsigned char*, uint64_t> found = mapped(address);
        return found.first && length <= found.second ? found.first : nullptr;
    }

    struct Segment {
        uint64_t address;
        uint64_t data_at;
        uint64_t data_size;
    };
    std::vector<Segment> segments;

private:
    const unsigned char* data_;
    size_t size_;
};

// What the dynamic segment says, each entry as the linker keeps it: the last of a tag.
struct Dynamic {
    std::vector<uint64_t> needed; // offsets into the string table
    uint64_t strings = 0, strings_size = 0, symbols = 0, symbol_size = 0, hash = 0, gnu_hash = 0;
    uint64_t runpath = 0, rpath = 0;
    bool has_strings = false, has_symbols = false, has_hash = false, has_gnu_hash = false, has_runpath = false,
         has_rpath = false;
};

// The number of symbols in the dynamic symbol table, as its hash tables count them; 0 without one.
// GNU's table counts them by its highest bucket's chain, walked to its end.
template <class Addr> bool symbol_count(const Elf& elf, const Dynamic& d, uint64_t& count)
{
    count = 0;
    if (d.has_gnu_hash) {
        const unsigned char* header = elf.mapped(d.gnu_hash, 16);
        if (!header)
            return false;
        const auto buckets_count = elf.at<uint32_t>(header);
        const auto first_symbol = elf.at<uint32_t>(header + 4);
        const auto bloom_count = elf.at<uint32_t>(header + 8);
        const uint64_t buckets_at = d.gnu_hash + 16 + uint64_t{bloom_count} * sizeof(Addr);
        const unsigned char* buckets = elf.mapped(buckets_at, uint64_t{buckets_count} * 4);
        if (!buckets)
            return false;
        uint32_t last = 0;
        for (uint32_t i = 0; i < buckets_count; ++i)
            last = std::max(last, elf.at<uint32_t>(buckets + uint64_t{i} * 4));
        if (last < first_symbol) {
            count = first_symbol;
            return true;
        }
        const uint64_t chains_at = buckets_at + uint64_t{buckets_count} * 4;
        const std::pair<const unsigned char*, uint64_t> chains = elf.mapped(chains_at);
        for (uint64_t link = last - first_symbol; (link + 1) * 4 <= chains.second; ++link) {
            if (elf.at<uint32_t>(chains.first + link * 4) & 1) {
                count = first_symbol + link + 1;
                return true;
            }
        }
        return false;
    }
    if (d.has_hash) {
        const unsigned char* header = elf.mapped(d.hash, 8);
        if (header)
            count = elf.at<uint32_t>(header + 4);
        return header != nullptr;
    }
    return true;
}

template <class Ehdr, class Phdr, class Dyn, class Sym, class Addr>
ImageRead read_class(const unsigned char* data, size_t size, Image& image, std::string& why)
{
    Elf elf(data, size);
    const auto header = elf.at<Ehdr>(elf.file(0, sizeof(Ehdr)));
    if (header.e_type != ET_DYN && header.e_type != ET_EXEC) {
        why = "it is an ELF file of type " + std::to_string(header.e_type) + ", not a program or shared library";
        return ImageRead::not_an_image;
    }
    if (header.e_phentsize != sizeof(Phdr)) {
        why = "its program headers are said to be " + std::to_string(header.e_phentsize) + " bytes each, not " +
              std::to_string(sizeof(Phdr));
        return ImageRead::damaged;
    }
    const unsigned char* table = elf.file(header.e_phoff, uint64_t{header.e_phnum} * sizeof(Phdr));
    if (!table) {
        why = "it is cut: its program headers run past the file's end at byte " + std::to_string(size);
        return ImageRead::damaged;
    }
    bool dynamic_found = false;
    Phdr dynamic{};
    for (uint64_t i = 0; i < header.e_phnum; ++i) {
        const auto segment = elf.at<Phdr>(table + i * sizeof(Phdr));
        if (segment.p_type == PT_DYNAMIC) {
            dynamic = segment;
            dynamic_found = true;
        }
        if (segment.p_type != PT_LOAD)
            continue;
        const std::string named = "its loadable segment at address " + std::to_string(segment.p_vaddr);
        // As the linker checks them: the alignment a multiple of the page, address and offset alike in it.
        if ((segment.p_align & (page_size - 1)) != 0 ||
            ((segment.p_vaddr - segment.p_offset) & (segment.p_align - 1)) != 0) {
            why = named + " is not aligned to its pages";
            return ImageRead::damaged;
        }
        if (!elf.file(segment.p_offset, segment.p_filesz)) {
            why = "it is cut: " + named + " runs past the file's end at byte " + std::to_string(size);
            return ImageRead::damaged;
        }
        elf.segments.push_back({segment.p_vaddr, segment.p_offset, std::min(segment.p_filesz, segment.p_memsz)});
    }
    if (elf.segments.empty() || !dynamic_found) {
        why = elf.segments.empty() ? "it has no loadable segment" : "it has no dynamic segment";
        return ImageRead::damaged;
    }

    Dynamic d;
    const std::pair<const unsigned char*, uint64_t> entries = elf.mapped(dynamic.p_vaddr);
    bool ended = false;
    for (uint64_t at = 0; at + sizeof(Dyn) <= entries.second && !ended; at += sizeof(Dyn)) {
        const auto entry = elf.at<Dyn>(entries.first + at);
        const uint64_t value = entry.d_un.d_val;
        switch (entry.d_tag) {
        case DT_NULL:
            ended = true;
            break;
        case DT_NEEDED:
            d.needed.push_back(value);
            break;
        case DT_STRTAB:
            d.strings = value, d.has_strings = true;
            break;
        case DT_STRSZ:
            d.strings_size = value;
            break;
        case DT_SYMTAB:
            d.symbols = value, d.has_symbols = true;
            break;
        case DT_SYMENT:
            d.symbol_size = value;
            break;
        case DT_HASH:
            d.hash = value, d.has_hash = true;
            break;
        case DT_GNU_HASH:
            d.gnu_hash = value, d.has_gnu_hash = true;
            break;
        case DT_RUNPATH:
            d.runpath = value, d.has_runpath = true;
            break;
        case DT_RPATH:
            d.rpath = value, d.has_rpath = true;
            break;
        default:
            break;
        }
    }
    if (!ended)
        image.damage.push_back("its dynamic segment runs out of the file's data before its closing DT_NULL entry");

    // The string table: the linker reads each name at its offset, up to its end.
    const std::pair<const unsigned char*, uint64_t> strings = elf.mapped(d.strings);
    const uint64_t strings_size = std::min(strings.second, d.strings_size != 0 ? d.strings_size : strings.second);
    auto text = [&](uint64_t offset, std::string& name) {
        const void* end = offset < strings_size ? memchr(strings.first + offset, 0, strings_size - offset) : nullptr;
        if (end)
            name.assign(reinterpret_cast<const char*>(strings.first + offset),
                        static_cast<const unsigned char*>(end) - (strings.first + offset));
        return end != nullptr;
    };
    if ((d.has_strings || !d.needed.empty()) && !strings.first) {
        image.damage.push_back("its string table (DT_STRTAB) lies outside the file's data");
        return ImageRead::ok;
    }
    for (const uint64_t offset : d.needed) {
        std::string name;
        if (text(offset, name))
            image.imports.push_back(std::move(name));
        else
            image.damage.push_back("a library it needs (DT_NEEDED) is named outside its string table");
    }
    // Its search path: DT_RUNPATH, or DT_RPATH without one; the linker reads the string at once.
    const bool has_search = d.has_runpath || d.has_rpath;
    std::string search;
    if (has_search && !text(d.has_runpath ? d.runpath : d.rpath, search))
        image.damage.emplace_back(std::string("its search path (") + (d.has_runpath ? "DT_RUNPATH" : "DT_RPATH") +
                                  ") lies outside its string table");
    image.imports_beside = search.find("$ORIGIN") != std::string::npos;

    uint64_t count = 0;
    if (!symbol_count<Addr>(elf, d, count)) {
        image.damage.push_back(std::string("its symbols' hash table (") + (d.has_gnu_hash ? "DT_GNU_HASH" : "DT_HASH") +
                               ") is not wholly in the file's data");
        return ImageRead::ok;
    }
    if (count == 0)
        return ImageRead::ok;
    const unsigned char* symbols = d.has_symbols && (d.symbol_size == 0 || d.symbol_size == sizeof(Sym))
                                       ? elf.mapped(d.symbols, count * sizeof(Sym))
                                       : nullptr;
    if (!symbols) {
        image.damage.push_back("its dynamic symbol table (DT_SYMTAB, " + std::to_string(count) +
                               " symbols) is not wholly in the file's data");
        return ImageRead::ok;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const auto symbol = elf.at<Sym>(symbols + i * sizeof(Sym));
        const unsigned bind = ELF64_ST_BIND(symbol.st_info);
        std::string name;
        if (symbol.st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK) &&
            ELF64_ST_VISIBILITY(symbol.st_other) != STV_HIDDEN && text(symbol.st_name, name))
            image.exports.push_back(std::move(name));
    }
    return ImageRead::ok;
}

} // namespace

ImageRead read_elf(const unsigned char* data, size_t size, Image& image, std::string& why)
{
    image = Image{};
    if (size < EI_NIDENT || memcmp(data, ELFMAG, SELFMAG) != 0) {
        why = "it is not an ELF image";
        return ImageRead::not_an_image;
    }
    const unsigned char elf_class = data[EI_CLASS];
    const size_t header_size = elf_class == ELFCLASS64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    if (data[EI_DATA] != ELFDATA2LSB || (elf_class != ELFCLASS32 && elf_class != ELFCLASS64) || size < header_size) {
        why = size < header_size ? "it is cut inside its ELF header"
                                 : "it is an ELF image of another byte order or class than x86's";
        return size < header_size ? ImageRead::damaged : ImageRead::not_an_image;
    }
    // e_machine lies at the same place in both classes.
    uint16_t machine = 0;
    memcpy(&machine, data + 18, sizeof machine);
    image.machine_name = machine_name(elf_class, machine);
    if (machine == EM_X86_64 && elf_class == ELFCLASS64)
        image.machine = Machine::x86_64;
    else if (machine == EM_386)
        image.machine = Machine::x86;
    return elf_class == ELFCLASS64
               ? read_class<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn, Elf64_Sym, Elf64_Addr>(data, size, image, why)
               : read_class<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn, Elf32_Sym, Elf32_Addr>(data, size, image, why);
}
