// An ELF image read from its bytes as glibc's dynamic linker reads it: the program headers; the
// PT_LOAD segments, which say where each address lies in the file; the dynamic linker it names
// (PT_INTERP); and the dynamic segment (PT_DYNAMIC), for the libraries it needs (DT_NEEDED) and what
// it exports (DT_SYMTAB and DT_STRTAB, through DT_GNU_HASH or DT_HASH, the tables the linker looks names
// up in). Hazards it answers:
// - The section headers are not read: the linker never reads them, and a file whose section table
//   is bent, stripped or says something else than its dynamic segment is judged by what the linker
//   takes.
// - Every offset, address, size and count is untrusted: each read goes through `file` or `mapped`,
//   which give bytes only where all of them lie in the file (for an address, in the file's data of
//   the segment that holds it). The segments are kept as pieces of the address space sorted once,
//   so that an address is found by a binary search, however many segments the image has.
// - Each table is read once, and only where it lies whole in the file; a name is read once however
//   many entries point at it, within a budget of the file's size (names.h): time and memory are
//   proportional to the file however large its counts.
// - The entry is looked up as the linker looks it up, through its hash tables (find_entry), not by a
//   walk of the symbol table: a table that hides it from the linker hides it here too, and so does a
//   version that hides it (DT_VERSYM). A chain is walked no further than its table is long.
// - Versions (DT_VERDEF) are walked entry by entry; each entry's offset to the next only moves
//   forward, and each step is bounded by the data and by their count.
// - Each symbol keeps a copy of its name and version: copies of one name count against the names'
//   budget, so that many symbols that share one long name cost no more than the file.
// - The linker reads names and symbols through DT_STRTAB and DT_SYMTAB, and faults where an image
//   has none: such an image is damaged.
#include "elf_image.h"

#include <elf.h>
#include <string.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "names.h"

namespace {

// The linker maps segments at page granularity.
constexpr uint64_t page_size = 4096;
// e_machine lies at the same place in both classes.
constexpr size_t machine_at = 18;

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
        : names(size)
        , data_(data)
        , size_(size)
    {
    }

    size_t size() const
    {
        return size_;
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
        auto piece = pieces_.upper_bound(address);
        if (piece == pieces_.begin())
            return {nullptr, 0};
        --piece;
        if (address >= piece->second.end)
            return {nullptr, 0};
        const uint64_t into = address - piece->first;
        return {data_ + piece->second.data_at + into, piece->second.end - address};
    }
    // The file's `size` bytes at `data_at` mapped at `address`, over what segments before mapped there,
    // as the linker maps each segment over the last.
    void map(uint64_t address, uint64_t data_at, uint64_t size)
    {
        if (size == 0)
            return;
        const uint64_t end = address + std::min(size, UINT64_MAX - address);
        auto piece = pieces_.upper_bound(address);
        if (piece != pieces_.begin() && std::prev(piece)->second.end > address)
            --piece;
        while (piece != pieces_.end() && piece->first < end) {
            const uint64_t start = piece->first;
            const Piece old = piece->second;
            piece = pieces_.erase(piece);
            if (start < address)
                pieces_.emplace(start, Piece{address, old.data_at});
            if (old.end > end)
                pieces_.emplace(end, Piece{old.end, old.data_at + (end - start)});
        }
        pieces_.emplace(address, Piece{end, data_at});
    }
    const unsigned char* mapped(uint64_t address, uint64_t length) const
    {
        const std::pair<const unsigned char*, uint64_t> found = mapped(address);
        return found.first && length <= found.second ? found.first : nullptr;
    }

    // The zero-terminated name at the address `address`, read through `names`; unended where it does
    // not end in the file's data of the segment that holds it.
    Names::Read name(uint64_t address, std::string_view& text)
    {
        const std::pair<const unsigned char*, uint64_t> found = mapped(address);
        return found.first ? names.read(found.first, found.second, text) : Names::Read::unended;
    }

    Names names;

private:
    // A piece of the address space that a segment's file data is mapped at: from its key to `end`,
    // from the file's byte `data_at` on. Pieces do not overlap.
    struct Piece {
        uint64_t end;
        uint64_t data_at;
    };
    std::map<uint64_t, Piece> pieces_;
    const unsigned char* data_;
    size_t size_;
};

// What the dynamic segment says, each entry as the linker keeps it: the last of a tag.
struct Dynamic {
    std::vector<uint64_t> needed; // offsets into the string table
    uint64_t strings = 0, symbols = 0, hash = 0, gnu_hash = 0;
    bool has_strings = false, has_symbols = false, has_hash = false, has_gnu_hash = false;
    uint64_t versym = 0, verdef = 0, verdef_count = 0, flags_1 = 0;
    bool has_versym = false, has_verdef = false;
};

// Whether symbol `index` is of data, not code.
template <class Sym> bool data_symbol(const Sym& symbol)
{
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    return type == STT_OBJECT || type == STT_TLS || type == STT_COMMON;
}

// DT_VERSYM's entry of symbol `index`: its version's index, and the hidden bit. 1 (global, no
// version) where the image has no such table or its entry lies outside the file's data.
uint16_t version_of(const Elf& elf, const Dynamic& d, uint64_t index)
{
    const unsigned char* entry = d.has_versym ? elf.mapped(d.versym + index * 2, 2) : nullptr;
    return entry ? elf.at<uint16_t>(entry) : 1;
}

// Whether the linker takes a symbol of version entry `version` for a reference that asks for no
// version: glibc's takes a hidden one only of the first version the image defines (index 2).
bool hidden_from_unversioned(uint16_t version)
{
    return (version & 0x8000) != 0 && (version & 0x7FFF) >= 3;
}

// Whether the linker binds a reference to `symbol`: a definition (or an absolute value) of a type it
// binds, global, weak or unique, and not hidden.
template <class Sym> bool binds(const Sym& symbol)
{
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    const unsigned bind = ELF64_ST_BIND(symbol.st_info);
    const unsigned visibility = ELF64_ST_VISIBILITY(symbol.st_other);
    constexpr unsigned types =
        1U << STT_NOTYPE | 1U << STT_OBJECT | 1U << STT_FUNC | 1U << STT_COMMON | 1U << STT_TLS | 1U << STT_GNU_IFUNC;
    return (symbol.st_value != 0 || symbol.st_shndx == SHN_ABS || type == STT_TLS) && (types >> type & 1) != 0 &&
           symbol.st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK || bind == STB_GNU_UNIQUE) &&
           visibility != STV_HIDDEN && visibility != STV_INTERNAL;
}

// A name's hash as DT_GNU_HASH keeps it (h * 33 + c, from 5381), and as DT_HASH does (the System V
// ABI's).
uint32_t gnu_hash(const char* name)
{
    uint32_t hash = 5381;
    for (; *name; ++name)
        hash = hash * 33 + static_cast<unsigned char>(*name);
    return hash;
}

uint32_t sysv_hash(const char* name)
{
    uint32_t hash = 0;
    for (; *name; ++name) {
        hash = (hash << 4) + static_cast<unsigned char>(*name);
        const uint32_t high = hash & 0xF0000000;
        hash ^= high >> 24;
        hash &= ~high;
    }
    return hash;
}

// Where the linker's lookup of the entry ends: found; not found (`why`: what in its tables says so);
// or at damage it would read through or fault on (`why` says which).
enum class Found { yes, data, no, damaged };

// Whether symbol `index`, which a hash table leads to, is the entry, as the linker matches it.
template <class Sym> Found entry_at(const Elf& elf, const Dynamic& d, uint64_t index, std::string& why)
{
    const unsigned char* place = elf.mapped(d.symbols + index * sizeof(Sym), sizeof(Sym));
    if (!place) {
        why = "its hash table leads to its symbol " + std::to_string(index) + ", outside the file's data";
        return Found::damaged;
    }
    const auto symbol = elf.at<Sym>(place);
    if (!binds(symbol))
        return Found::no;
    const std::pair<const unsigned char*, uint64_t> name = elf.mapped(d.strings + symbol.st_name);
    int order = 0;
    if (!name.first || !compare_name(entry_name, name.first, name.second, order)) {
        why = "the name of its symbol " + std::to_string(index) + ", which its hash table leads to, lies outside " +
              "the file's data";
        return Found::damaged;
    }
    if (order != 0)
        return Found::no;
    // The host asks for no version of the entry.
    if (hidden_from_unversioned(version_of(elf, d, index)))
        return Found::no;
    return data_symbol(symbol) ? Found::data : Found::yes;
}

// A GNU hash table's (DT_GNU_HASH) header, and where its parts begin: the bloom filter of words of
// Addr's width, the buckets, and the chains, whose first word is that of symbol `first_symbol`.
struct GnuHash {
    uint32_t buckets_count, first_symbol, bloom_words, shift;
    uint64_t bloom_at, buckets_at, chains_at;
};

// The GNU hash table at `at`; false where its header lies outside the file's data.
template <class Addr> bool read_gnu_hash(const Elf& elf, uint64_t at, GnuHash& table)
{
    const unsigned char* header = elf.mapped(at, 16);
    if (!header)
        return false;
    table.buckets_count = elf.at<uint32_t>(header);
    table.first_symbol = elf.at<uint32_t>(header + 4);
    table.bloom_words = elf.at<uint32_t>(header + 8);
    table.shift = elf.at<uint32_t>(header + 12);
    table.bloom_at = at + 16;
    table.buckets_at = table.bloom_at + uint64_t{table.bloom_words} * sizeof(Addr);
    table.chains_at = table.buckets_at + uint64_t{table.buckets_count} * 4;
    return true;
}

// The entry looked up as glibc's dynamic linker looks a name up, after the hash tables' published
// descriptions: through DT_GNU_HASH where there is one (a bloom filter of two bits a name, its bucket,
// and a chain of hashes from the first hashed symbol, the last of a chain odd), else DT_HASH (its
// bucket, and the chain of symbol indexes from it). Each walk is bounded by the data it walks.
template <class Sym, class Addr> Found find_entry(const Elf& elf, const Dynamic& d, std::string& why)
{
    constexpr uint32_t bits = sizeof(Addr) * 8;
    const auto outside = [&](const char* table, const char* part) {
        why = std::string("its hash table's (") + table + ") " + part + " outside the file's data";
        return Found::damaged;
    };
    if (d.has_gnu_hash) {
        GnuHash table{};
        if (!read_gnu_hash<Addr>(elf, d.gnu_hash, table))
            return outside("DT_GNU_HASH", "header lies");
        const uint32_t hash = gnu_hash(entry_name);
        // The linker takes the word count less one as the mask of a word's index.
        const uint32_t word_index = (hash / bits) & (table.bloom_words - 1);
        const unsigned char* word_at = elf.mapped(table.bloom_at + uint64_t{word_index} * sizeof(Addr), sizeof(Addr));
        if (!word_at)
            return outside("DT_GNU_HASH", "bloom filter lies");
        const auto word = static_cast<uint64_t>(elf.at<Addr>(word_at));
        if (((word >> (hash % bits)) & (word >> ((uint64_t{hash} >> (table.shift % bits)) % bits)) & 1) == 0) {
            why = "its hash table's (DT_GNU_HASH) bloom filter rules the name out";
            return Found::no;
        }
        if (table.buckets_count == 0) {
            why = "its hash table (DT_GNU_HASH) has no buckets, and the linker divides by their count";
            return Found::damaged;
        }
        const unsigned char* bucket = elf.mapped(table.buckets_at + uint64_t{hash % table.buckets_count} * 4, 4);
        if (!bucket)
            return outside("DT_GNU_HASH", "buckets lie");
        const auto index = elf.at<uint32_t>(bucket);
        if (index == 0) {
            why = "its hash table's (DT_GNU_HASH) bucket for the name is empty";
            return Found::no;
        }
        // The chains begin at the first hashed symbol: symbol i's hash is i less that one words in.
        for (uint64_t i = index;; ++i) {
            const unsigned char* link = elf.mapped(table.chains_at + (i - table.first_symbol) * 4, 4);
            if (!link)
                return outside("DT_GNU_HASH", "chains run");
            const auto value = elf.at<uint32_t>(link);
            const Found found = ((value ^ hash) >> 1) == 0 ? entry_at<Sym>(elf, d, i, why) : Found::no;
            if (found != Found::no)
                return found;
            if (value & 1)
                break;
        }
        why = "its hash table's (DT_GNU_HASH) chain for the name does not lead to it";
        return Found::no;
    }
    if (d.has_hash) {
        const unsigned char* header = elf.mapped(d.hash, 8);
        if (!header)
            return outside("DT_HASH", "header lies");
        const auto buckets_count = elf.at<uint32_t>(header);
        const auto chains_count = elf.at<uint32_t>(header + 4);
        if (buckets_count == 0) {
            why = "its hash table (DT_HASH) has no buckets, and the linker divides by their count";
            return Found::damaged;
        }
        const unsigned char* bucket = elf.mapped(d.hash + 8 + uint64_t{sysv_hash(entry_name) % buckets_count} * 4, 4);
        if (!bucket)
            return outside("DT_HASH", "buckets lie");
        const uint64_t chains_at = d.hash + 8 + uint64_t{buckets_count} * 4;
        // The linker follows a chain until its end: one longer than its table of chains (as much of it
        // as the file holds) loops, and an index past that table leads the linker out of it.
        const uint64_t most_steps = std::min<uint64_t>(chains_count, elf.size() / 4);
        uint64_t steps = 0;
        for (uint32_t index = elf.at<uint32_t>(bucket); index != STN_UNDEF; ++steps) {
            const Found found = entry_at<Sym>(elf, d, index, why);
            if (found != Found::no)
                return found;
            const unsigned char* link = index < chains_count ? elf.mapped(chains_at + uint64_t{index} * 4, 4) : nullptr;
            if (!link)
                return outside("DT_HASH", "chains run");
            if (steps > most_steps) {
                why = "its hash table's (DT_HASH) chain for the name loops, and the linker would never end its lookup";
                return Found::damaged;
            }
            index = elf.at<uint32_t>(link);
        }
        why = "its hash table's (DT_HASH) chain for the name does not lead to it";
        return Found::no;
    }
    why = "it has no hash table (DT_GNU_HASH or DT_HASH) to look names up in";
    return Found::no;
}

// The number of symbols in the dynamic symbol table, as its hash tables count them; 0 without one.
// GNU's table counts them by its highest bucket's chain, walked to its end.
template <class Addr> bool symbol_count(const Elf& elf, const Dynamic& d, uint64_t& count)
{
    count = 0;
    if (d.has_gnu_hash) {
        GnuHash table{};
        if (!read_gnu_hash<Addr>(elf, d.gnu_hash, table))
            return false;
        const unsigned char* buckets = elf.mapped(table.buckets_at, uint64_t{table.buckets_count} * 4);
        if (!buckets)
            return false;
        uint32_t last = 0;
        for (uint32_t i = 0; i < table.buckets_count; ++i)
            last = std::max(last, elf.at<uint32_t>(buckets + uint64_t{i} * 4));
        if (last < table.first_symbol) {
            count = table.first_symbol;
            return true;
        }
        const std::pair<const unsigned char*, uint64_t> chains = elf.mapped(table.chains_at);
        for (uint64_t link = last - table.first_symbol; (link + 1) * 4 <= chains.second; ++link) {
            if (elf.at<uint32_t>(chains.first + link * 4) & 1) {
                count = table.first_symbol + link + 1;
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

// The versions an image defines (DT_VERDEF) by their index, its base version's as none.
using Versions = std::unordered_map<uint16_t, std::string>;

// The name at `offset` of the string table, or empty where it cannot be read, or where a copy of a name
// read before spends the names' budget.
std::string string_at(Elf& elf, const Dynamic& d, uint64_t offset)
{
    std::string_view name;
    const Names::Read read = elf.name(d.strings + offset, name);
    const bool kept = read == Names::Read::fresh || (read == Names::Read::again && elf.names.charge(name.size()));
    return kept ? std::string(name) : std::string();
}

// The versions it defines, entry by entry as the linker walks them: each entry leads to the next by an
// offset that only moves forward, ended by one of 0 or by their count.
Versions read_versions(Elf& elf, const Dynamic& d, Image& image)
{
    Versions versions;
    uint64_t at = d.verdef;
    for (uint64_t i = 0; d.has_verdef && i < d.verdef_count; ++i) {
        const unsigned char* place = elf.mapped(at, sizeof(Elf64_Verdef));
        if (!place) {
            image.damage.emplace_back("its versions (DT_VERDEF) run outside the file's data");
            break;
        }
        const auto entry = elf.at<Elf64_Verdef>(place);
        const unsigned char* aux = elf.mapped(at + entry.vd_aux, sizeof(Elf64_Verdaux));
        const std::string name = aux ? string_at(elf, d, elf.at<Elf64_Verdaux>(aux).vda_name) : std::string();
        if ((entry.vd_flags & VER_FLG_BASE) == 0)
            versions[entry.vd_ndx] = name;
        if (entry.vd_next == 0)
            break;
        at += entry.vd_next;
    }
    return versions;
}

// Its dynamic symbols, as many as its hash tables count, that it defines for others, with their
// versions: the names it exports each once where the entry is not found, for the checks to tell a near
// name, and to tell one under a hidden version.
template <class Sym, class Addr> void read_symbols(Elf& elf, const Dynamic& d, const Versions& versions, Image& image)
{
    uint64_t count = 0;
    if (!symbol_count<Addr>(elf, d, count)) {
        image.damage.push_back(std::string("its symbols' hash table (") + (d.has_gnu_hash ? "DT_GNU_HASH" : "DT_HASH") +
                               ") is not wholly in the file's data");
        return;
    }
    const unsigned char* symbols = elf.mapped(d.symbols, count * sizeof(Sym));
    if (!symbols) {
        image.damage.push_back("its dynamic symbol table (DT_SYMTAB, " + std::to_string(count) +
                               " symbols) is not wholly in the file's data");
        return;
    }
    for (uint64_t i = 1; i < count; ++i) {
        const auto symbol = elf.at<Sym>(symbols + i * sizeof(Sym));
        if (!binds(symbol))
            continue;
        std::string_view name;
        const Names::Read read = elf.name(d.strings + symbol.st_name, name);
        if (read == Names::Read::spent)
            return;
        if (read == Names::Read::unended || name.empty())
            continue;
        const uint16_t version = version_of(elf, d, i);
        // Each symbol keeps its own copy of its name and version: a name read again, and every version,
        // count against the names' budget.
        const size_t again = read == Names::Read::again ? name.size() : 0;
        const auto named = versions.find(version & 0x7FFF);
        const std::string none;
        const std::string& version_name = named == versions.end() ? none : named->second;
        if (!elf.names.charge(again + version_name.size()))
            return;
        image.symbols.push_back(
            {std::string(name), version_name, hidden_from_unversioned(version), data_symbol(symbol)});
    }
}

// The entry's lookup where its hash table does not lead to it: an entry under a hidden version is not
// bound; one its symbol table holds in plain sight is hidden by damage; else the names it exports, for
// the checks to tell a near one.
void not_found(const std::string& why, Image& image)
{
    std::unordered_set<std::string_view> names;
    for (const Symbol& symbol : image.symbols) {
        if (symbol.name == entry_name && symbol.hidden) {
            image.entry = Entry::unbound;
            image.entry_why = "it exports it only as " + std::string(entry_name) + "@" + shown(symbol.version) +
                              ", a hidden version, which the host's reference, asking for none, never binds";
            return;
        }
        if (names.insert(symbol.name).second)
            image.exports.push_back(symbol.name);
    }
    if (names.contains(entry_name)) {
        image.damage.push_back(std::string("the dynamic linker does not find ") + entry_name +
                               ", which its symbol table holds: " + why);
        image.entry = Entry::missed;
    }
}

// Why the dynamic linker refuses to load the image as a library though the system would run it as a
// program, as glibc's checks its header and flags; empty where it loads it.
std::string library_refusal(const unsigned char* ident, uint16_t type, uint32_t version, const Dynamic& d)
{
    static const unsigned char no_padding[EI_NIDENT - EI_PAD] = {};
    if (ident[EI_OSABI] != ELFOSABI_SYSV && ident[EI_OSABI] != ELFOSABI_GNU)
        return "its OS ABI (EI_OSABI " + std::to_string(ident[EI_OSABI]) +
               ") is another system's, not Linux's (ELF file OS ABI invalid)";
    if (ident[EI_OSABI] == ELFOSABI_SYSV && ident[EI_ABIVERSION] != 0)
        return "its ABI version (EI_ABIVERSION " + std::to_string(ident[EI_ABIVERSION]) +
               ") is none of Linux's (ELF file ABI version invalid)";
    if (ident[EI_VERSION] != EV_CURRENT || version != EV_CURRENT)
        return "its ELF version is not 1 (ELF file version does not match current one)";
    if (memcmp(ident + EI_PAD, no_padding, sizeof no_padding) != 0)
        return "its identification's padding is not zeros (nonzero padding in e_ident)";
    if (type == ET_EXEC)
        return "it is an executable, not a library (cannot dynamically load executable)";
    if (d.flags_1 & DF_1_PIE)
        return "it is a position-independent executable, not a library (cannot dynamically load "
               "position-independent executable)";
    return std::string();
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
    Phdr first{};
    Phdr last{};
    bool loads = false;
    for (uint64_t i = 0; i < header.e_phnum; ++i) {
        const auto segment = elf.at<Phdr>(table + i * sizeof(Phdr));
        if (segment.p_type == PT_DYNAMIC) {
            dynamic = segment;
            dynamic_found = true;
        }
        // The system reads the linker's path from the file, ended within its size.
        const unsigned char* path =
            segment.p_type == PT_INTERP ? elf.file(segment.p_offset, segment.p_filesz) : nullptr;
        if (path && segment.p_filesz > 0 && path[segment.p_filesz - 1] == '\0')
            image.interpreter = reinterpret_cast<const char*>(path);
        if (segment.p_type != PT_LOAD)
            continue;
        const std::string named = "its loadable segment at address " + std::to_string(segment.p_vaddr);
        // As the linker checks them (glibc 2.35 and later): address and offset alike within a page.
        if (((segment.p_vaddr - segment.p_offset) & (page_size - 1)) != 0) {
            why = named + " is not aligned to its pages: its address and offset differ within a page";
            return ImageRead::damaged;
        }
        if (!elf.file(segment.p_offset, segment.p_filesz)) {
            why = "it is cut: " + named + " runs past the file's end at byte " + std::to_string(size);
            return ImageRead::damaged;
        }
        elf.map(segment.p_vaddr, segment.p_offset, std::min(segment.p_filesz, segment.p_memsz));
        first = loads ? first : segment;
        last = segment;
        loads = true;
    }
    // The linker refuses a dynamic segment of no bytes in the file.
    if (!loads || !dynamic_found || dynamic.p_filesz == 0) {
        why = !loads           ? "it has no loadable segment"
              : !dynamic_found ? "it has no dynamic segment"
                               : "its dynamic segment is empty";
        return ImageRead::damaged;
    }
    // The linker reserves the pages from the first segment's to the last one's end, as the format
    // orders them by address: where the last ends before the first begins, there are none to map.
    if (((last.p_vaddr + last.p_memsz + page_size - 1) & ~(page_size - 1)) <= (first.p_vaddr & ~(page_size - 1))) {
        why = "its loadable segments are out of order: the last ends before the first begins, and the dynamic "
              "linker fails to map them (failed to map segment from shared object)";
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
        case DT_SYMTAB:
            d.symbols = value, d.has_symbols = true;
            break;
        case DT_HASH:
            d.hash = value, d.has_hash = true;
            break;
        case DT_GNU_HASH:
            d.gnu_hash = value, d.has_gnu_hash = true;
            break;
        case DT_VERSYM:
            d.versym = value, d.has_versym = true;
            break;
        case DT_VERDEF:
            d.verdef = value, d.has_verdef = true;
            break;
        case DT_VERDEFNUM:
            d.verdef_count = value;
            break;
        case DT_FLAGS_1:
            d.flags_1 = value;
            break;
        default:
            break;
        }
    }
    if (!ended)
        image.damage.push_back("its dynamic segment runs out of the file's data before its closing DT_NULL entry");
    image.library_refusal = library_refusal(data, header.e_type, header.e_version, d);
    // The linker reads every name at its offset from DT_STRTAB, and every symbol from DT_SYMTAB,
    // without asking whether the image has them.
    if (!d.has_strings || !d.has_symbols) {
        why = !d.has_strings ? "it has no string table (DT_STRTAB), which the dynamic linker reads every name from"
                             : "it has no symbol table (DT_SYMTAB), which the dynamic linker binds every name through";
        return ImageRead::damaged;
    }

    for (const uint64_t offset : d.needed) {
        std::string_view name;
        const Names::Read read = elf.name(d.strings + offset, name);
        if (read == Names::Read::fresh)
            image.imports.emplace_back(name);
        if (read == Names::Read::unended)
            image.damage.emplace_back("a library it needs (DT_NEEDED) is named outside the file's data");
        if (read > Names::Read::again)
            break;
    }
    const Versions versions = read_versions(elf, d, image);
    read_symbols<Sym, Addr>(elf, d, versions, image);
    std::string why_not;
    switch (find_entry<Sym, Addr>(elf, d, why_not)) {
    case Found::yes:
        image.entry = Entry::bound;
        break;
    case Found::data:
        image.entry = Entry::data;
        break;
    case Found::damaged:
        image.damage.push_back(why_not);
        image.entry = Entry::missed;
        break;
    case Found::no:
        not_found(why_not, image);
        break;
    }
    if (elf.names.spent())
        image.damage.push_back(elf.names.spent_damage());
    return ImageRead::ok;
}

// The machine that the ELF header at `data` names; other where it is no little-endian header of x86 or
// x86-64.
Machine elf_machine(const unsigned char* data, size_t size)
{
    if (size < machine_at + 2 || memcmp(data, ELFMAG, SELFMAG) != 0 || data[EI_DATA] != ELFDATA2LSB)
        return Machine::other;
    uint16_t machine = 0;
    memcpy(&machine, data + machine_at, sizeof machine);
    if (machine == EM_X86_64 && data[EI_CLASS] == ELFCLASS64)
        return Machine::x86_64;
    return machine == EM_386 && data[EI_CLASS] == ELFCLASS32 ? Machine::x86 : Machine::other;
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
    uint16_t machine = 0;
    memcpy(&machine, data + machine_at, sizeof machine);
    image.machine_name = machine_name(elf_class, machine);
    image.machine = elf_machine(data, size);
    return elf_class == ELFCLASS64
               ? read_class<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn, Elf64_Sym, Elf64_Addr>(data, size, image, why)
               : read_class<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn, Elf32_Sym, Elf32_Addr>(data, size, image, why);
}
