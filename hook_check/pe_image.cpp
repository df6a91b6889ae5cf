// A PE image (PE32 or PE32+) read from its bytes as the Windows loader maps it. Hazards it answers:
// - Every offset, RVA, size and count in the file is untrusted: a cut or bent file names places past
//   its end. Nothing is read but through `file` and `mapped`, which give bytes only where all of them
//   lie in the file, so no read leaves the bytes given, whatever the headers say.
// - A table is read at its RVA as the loader maps it: from the file's data of the one section that
//   holds it (or the headers). What a section maps past its data is zeros made by the loader, not
//   the file's: a table said to lie there is counted as outside the file's data.
// - Counts may be huge (names, descriptors, sections), and many entries may point at one place: a
//   table must lie whole in the data before it is read, a name is read once however many entries
//   point at it, within a budget of the file's size (names.h), and kept once; a function imported is
//   kept in 16 bytes (PeBindings); and a walk of an import lookup table ends where it meets one walked
//   for an earlier descriptor, so that time and memory stay proportional to the file. The sections, in order of
//   address, are found by halving.
// - The loader finds an export as the PE format's documentation of the hint/name table says: at the
//   importer's hint, then by a binary search of the export names, which the format keeps sorted. A
//   table out of order can hide a name from it, and every name is looked up that way here too: the
//   export table is kept (PeExports) for the lookups of each importer once the bytes are gone.
// - The loader walks the import descriptors up to the empty one and ignores the directory's size: a
//   size bent short must not hide an import, so it is ignored here too.
// - The loader refuses an image whose headers or sections are out of order or past the file's end,
//   before any of it runs: those are told as `damaged`, the rest of what it refuses as `damage`.
#include "pe_image.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "names.h"

namespace {

constexpr uint16_t machine_x86 = 0x014C;
constexpr uint16_t machine_x86_64 = 0x8664;
constexpr uint16_t machine_arm64 = 0xAA64;
constexpr uint16_t pe32 = 0x10B;
constexpr uint16_t pe32_plus = 0x20B;
// The Windows loader takes at most 96 sections (the PE format's documentation).
constexpr uint32_t most_sections = 96;
constexpr uint32_t section_header_size = 40;
constexpr uint32_t import_descriptor_size = 20;
constexpr uint32_t export_directory_size = 40;

const char* const directory_names[] = {
    "export",         "import",       "resource",       "exception", "security",           "base relocation",
    "debug",          "architecture", "global pointer", "TLS",       "load configuration", "bound import",
    "import address", "delay import", "COM descriptor", "reserved"};
constexpr uint32_t most_directories = 16;
constexpr uint32_t export_entry = 0;
constexpr uint32_t import_entry = 1;
constexpr uint32_t security_entry = 4; // a file offset, not an RVA; the loader does not map it
constexpr uint32_t load_config_entry = 10;
// Where a PE32+ image's load configuration points at its hybrid (CHPE) metadata, which only an
// ARM64EC or ARM64X image has (the PE format's documentation).
constexpr uint32_t chpe_metadata_at = 200;

uint16_t u16(const unsigned char* at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t u32(const unsigned char* at)
{
    return static_cast<uint32_t>(u16(at)) | static_cast<uint32_t>(u16(at + 2)) << 16;
}

uint64_t u64(const unsigned char* at)
{
    return static_cast<uint64_t>(u32(at)) | static_cast<uint64_t>(u32(at + 4)) << 32;
}

std::string hex(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string machine_name(uint16_t machine)
{
    switch (machine) {
    case machine_x86_64:
        return "x86-64";
    case machine_x86:
        return "x86";
    case machine_arm64:
        return "ARM64";
    case 0x01C4:
        return "ARM";
    default:
        char text[32];
        snprintf(text, sizeof text, "machine 0x%04X", static_cast<unsigned>(machine));
        return text;
    }
}

bool power_of_two(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

struct Section {
    std::string name;
    uint32_t address;   // its RVA
    uint32_t extent;    // the bytes it takes in the image
    uint32_t data_size; // the bytes of it that come from the file
    uint32_t data_at;   // their offset in the file
};

class Pe {
public:
    Pe(const unsigned char* data, size_t size)
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
    // `length` bytes at `rva` as the loader maps them, where all come from the file's data of one
    // section or of the headers; else null.
    const unsigned char* mapped(uint64_t rva, uint64_t length) const
    {
        const std::pair<const unsigned char*, uint64_t> found = region(rva);
        return found.first && length <= found.second ? found.first : nullptr;
    }
    // The zero-terminated name at `rva`, read through `names`; unended where it does not end in the
    // region that holds it.
    Names::Read name(uint64_t rva, std::string_view& text)
    {
        const std::pair<const unsigned char*, uint64_t> found = region(rva);
        return found.first ? names.read(found.first, found.second, text) : Names::Read::unended;
    }
    // Whether `rva` lies in the image's headers or a section, as mapped.
    bool in_image(uint64_t rva) const
    {
        const Section* s = holding(rva);
        return rva < headers_size || (s && rva - s->address < s->extent);
    }

    bool plus = false; // PE32+
    uint32_t entry_point = 0;
    uint32_t headers_size = 0;
    uint32_t image_size = 0;
    std::vector<Section> sections;
    struct Directory {
        uint32_t rva;
        uint32_t size;
    } directories[most_directories] = {};

    Names names;

private:
    // The file's bytes from `rva` to the end of the region that holds it, and how many.
    std::pair<const unsigned char*, uint64_t> region(uint64_t rva) const
    {
        if (rva < headers_size)
            return {data_ + rva, headers_size - rva};
        const Section* s = holding(rva);
        if (s && rva - s->address < s->data_size)
            return {data_ + s->data_at + (rva - s->address), s->data_size - (rva - s->address)};
        return {nullptr, 0};
    }
    // The last section that begins at or before `rva`, found by halving: the headers' check keeps
    // them in order of address, none overlapping.
    const Section* holding(uint64_t rva) const
    {
        const auto after = std::upper_bound(sections.begin(), sections.end(), rva,
                                            [](uint64_t at, const Section& s) { return at < s.address; });
        return after == sections.begin() ? nullptr : &*std::prev(after);
    }

    const unsigned char* data_;
    size_t size_;
};

std::string bytes(uint64_t from, uint64_t length)
{
    return "bytes " + hex(from) + " to " + hex(from + length);
}

// The headers and the section table, as the loader checks them before it maps anything; an empty
// text where they hold, else what is wrong.
std::string read_headers(Pe& pe, size_t size, uint32_t header, Image& image)
{
    const std::string file_end = " past the file's end at byte " + hex(size);
    const unsigned char* nt = pe.file(header, 24);
    const uint16_t machine = u16(nt + 4);
    const uint32_t section_count = u16(nt + 6);
    const uint32_t optional_size = u16(nt + 20);
    image.machine_name = machine_name(machine);
    image.machine = machine == machine_x86_64  ? Machine::x86_64
                    : machine == machine_x86   ? Machine::x86
                    : machine == machine_arm64 ? Machine::arm64
                                               : Machine::other;

    const uint32_t optional = header + 24;
    const unsigned char* magic = pe.file(optional, 2);
    if (!magic)
        return "its optional header is cut off: the file ends at byte " + hex(size);
    pe.plus = u16(magic) == pe32_plus;
    if (!pe.plus && u16(magic) != pe32)
        return "its optional header's magic is " + hex(u16(magic)) + ", neither PE32 (0x10B) nor PE32+ (0x20B)";
    if (((machine == machine_x86_64 || machine == machine_arm64) && !pe.plus) || (machine == machine_x86 && pe.plus))
        return "it is an " + image.machine_name + " image with a " + (pe.plus ? "PE32+" : "PE32") + " header";
    const uint32_t fixed = pe.plus ? 112 : 96;
    if (optional_size < fixed)
        return "its optional header is said to be " + hex(optional_size) + " bytes, less than the " + hex(fixed) +
               " of its fixed part";
    const unsigned char* fields = pe.file(optional, optional_size);
    if (!fields)
        return "its optional header (" + bytes(optional, optional_size) + ") runs" + file_end;
    const uint32_t section_alignment = u32(fields + 32);
    const uint32_t file_alignment = u32(fields + 36);
    pe.entry_point = u32(fields + 16);
    pe.image_size = u32(fields + 56);
    pe.headers_size = u32(fields + 60);
    const uint32_t directory_count = std::min(u32(fields + fixed - 4), most_directories);
    if (fixed + directory_count * 8 > optional_size)
        return "its optional header of " + hex(optional_size) + " bytes cannot hold the " +
               std::to_string(directory_count) + " data directories it counts";
    for (uint32_t i = 0; i < directory_count; ++i)
        pe.directories[i] = {u32(fields + fixed + size_t{i} * 8), u32(fields + fixed + size_t{i} * 8 + 4)};
    if (!power_of_two(section_alignment) || !power_of_two(file_alignment) || file_alignment > section_alignment)
        return "its alignments (sections " + hex(section_alignment) + ", file " + hex(file_alignment) +
               ") are not powers of two, the file's no greater than the sections'";

    if (section_count == 0)
        return "it has no sections";
    if (section_count > most_sections)
        return "it counts " + std::to_string(section_count) + " sections; the loader takes at most " +
               std::to_string(most_sections);
    const uint32_t table = optional + optional_size;
    const unsigned char* entries = pe.file(table, uint64_t{section_count} * section_header_size);
    if (!entries)
        return "its section table (" + bytes(table, uint64_t{section_count} * section_header_size) + ") runs" +
               file_end;
    if (pe.headers_size > size)
        return "it is cut: its headers (" + hex(pe.headers_size) + " bytes) run" + file_end;
    if (pe.headers_size > pe.image_size)
        return "its headers (" + hex(pe.headers_size) + " bytes) are larger than its image (" + hex(pe.image_size) +
               " bytes)";

    uint64_t next = pe.headers_size; // where the next section may begin
    for (uint32_t i = 0; i < section_count; ++i) {
        const unsigned char* entry = entries + size_t{i} * section_header_size;
        Section s;
        s.name.assign(reinterpret_cast<const char*>(entry), strnlen(reinterpret_cast<const char*>(entry), 8));
        const uint32_t virtual_size = u32(entry + 8);
        s.address = u32(entry + 12);
        const uint32_t raw_size = u32(entry + 16);
        s.data_at = u32(entry + 20);
        s.extent = virtual_size != 0 ? virtual_size : raw_size;
        // The loader maps no file data for a section whose data is said to lie at offset 0.
        s.data_size = s.data_at == 0 ? 0 : std::min(raw_size, s.extent);
        const std::string named = "its section " + std::to_string(i + 1) + " (" + shown(s.name) + ")";
        if (s.address < next)
            return named + " begins at RVA " + hex(s.address) + ", inside the headers or the section before it";
        if (uint64_t{s.address} + s.extent > pe.image_size)
            return named + " runs past the end of its image (" + hex(pe.image_size) + " bytes)";
        if (raw_size != 0 && !pe.file(s.data_at, raw_size)) {
            std::string cut = "it is cut: ";
            return cut.append(named)
                .append("'s data (")
                .append(bytes(s.data_at, raw_size))
                .append(") runs")
                .append(file_end);
        }
        next = uint64_t{s.address} + s.extent;
        pe.sections.push_back(std::move(s));
    }
    return {};
}

// Each data directory the loader maps lies in the image; none points outside it or into a gap.
void check_directories(const Pe& pe, Image& image)
{
    for (uint32_t i = 0; i < most_directories; ++i) {
        const Pe::Directory& d = pe.directories[i];
        if (i == security_entry || d.rva == 0)
            continue;
        if (uint64_t{d.rva} + d.size > pe.image_size || !pe.in_image(d.rva))
            image.damage.push_back(std::string("its ") + directory_names[i] + " directory (RVA " + hex(d.rva) + ", " +
                                   hex(d.size) + " bytes) lies outside its image's headers and sections");
    }
}

// Whether the image is an ARM64EC one (x86-64 by its header) or an ARM64X one (ARM64 by its header),
// as its load configuration, where its size takes in the pointer to hybrid metadata, points at some.
void check_hybrid(const Pe& pe, Image& image)
{
    const uint32_t config = pe.directories[load_config_entry].rva;
    const unsigned char* size = pe.plus && config != 0 ? pe.mapped(config, 4) : nullptr;
    const unsigned char* metadata =
        size && u32(size) >= chpe_metadata_at + 8 ? pe.mapped(uint64_t{config} + chpe_metadata_at, 8) : nullptr;
    if (!metadata || u64(metadata) == 0)
        return;
    if (image.machine == Machine::x86_64)
        image.unmodelled = "an ARM64EC image (x86-64 by its header, with ARM64 code that its hybrid metadata "
                           "describes)";
    else if (image.machine == Machine::arm64)
        image.unmodelled = "an ARM64X image (ARM64 by its header, with code for x86-64 processes on Windows on "
                           "ARM beside)";
}

// Texts of a file's bytes, each kept once for its place however many entries name it: the places are
// sorted, not hashed, to find those named again, so that a quarter of a million cost a few megabytes.
class Places {
public:
    // `text`, which lies in the file, noted: gives its number.
    uint32_t note(std::string_view text)
    {
        noted_.push_back(text);
        return static_cast<uint32_t>(noted_.size() - 1);
    }
    // Each place noted appended to `pool` once: gives where each noted text lies there, by its number.
    std::vector<uint32_t> keep(std::string& pool) const
    {
        std::vector<uint32_t> order(noted_.size());
        for (uint32_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return noted_[a].data() < noted_[b].data(); });
        std::vector<uint32_t> kept_at(noted_.size());
        for (size_t i = 0; i < order.size(); ++i) {
            if (i == 0 || noted_[order[i]].data() != noted_[order[i - 1]].data()) {
                kept_at[order[i]] = static_cast<uint32_t>(pool.size());
                pool.append(noted_[order[i]]);
            } else {
                kept_at[order[i]] = kept_at[order[i - 1]];
            }
        }
        return kept_at;
    }

private:
    std::vector<std::string_view> noted_;
};

std::string export_table(const char* what, uint32_t count, uint32_t rva)
{
    return std::string("its export directory's ") + what + " (" + std::to_string(count) + " entries at RVA " +
           hex(rva) + ") is not wholly in the file's data";
}

} // namespace

// Reads a PE image's export table into a PeExports, each name and forwarder through the image's Names,
// so that a place of the file is read and kept once however many entries point at it. The places are
// sorted to find those read again, not mapped: a quarter of a million names cost a few megabytes.
class PeExportsReader {
public:
    explicit PeExportsReader(PeExports& exports)
        : exports_(exports)
    {
    }

    // The table of `pe`; what the loader refuses of it said in `image.damage`.
    void read(Pe& pe, Image& image)
    {
        const Pe::Directory directory = pe.directories[export_entry];
        if (directory.rva == 0)
            return;
        const unsigned char* header = pe.mapped(directory.rva, export_directory_size);
        if (!header)
            return refuse("its export directory (RVA " + hex(directory.rva) + ") is not wholly in the file's data",
                          image);
        const uint32_t function_count = u32(header + 20);
        const uint32_t name_count = u32(header + 24);
        const unsigned char* functions = pe.mapped(u32(header + 28), uint64_t{function_count} * 4);
        const unsigned char* names = pe.mapped(u32(header + 32), uint64_t{name_count} * 4);
        const unsigned char* ordinals = pe.mapped(u32(header + 36), uint64_t{name_count} * 2);
        if (function_count != 0 && !functions)
            return refuse(export_table("address table", function_count, u32(header + 28)), image);
        if (name_count != 0 && (!names || !ordinals))
            return refuse(export_table("name table", name_count, u32(header + 32)), image);
        exports_.base_ = u32(header + 16);
        exports_.targets_.reserve(function_count);
        for (uint32_t i = 0; i < function_count; ++i) {
            const uint32_t address = u32(functions + uint64_t{i} * 4);
            using Kind = PeExports::Target::Kind;
            PeExports::Target target{Kind::code, address, {0, PeExports::unread}};
            // An address inside the export directory is a forwarder's text, not code.
            if (address >= directory.rva && address - directory.rva < directory.size)
                target = {Kind::forwarded, address, keep(pe, address)};
            else if (address == 0)
                target.kind = Kind::none;
            else if (!pe.mapped(address, 1) || address < pe.headers_size)
                target.kind = Kind::outside;
            exports_.targets_.push_back(target);
        }
        exports_.names_.reserve(name_count);
        exports_.name_ordinals_.reserve(name_count);
        for (uint32_t i = 0; i < name_count; ++i) {
            exports_.names_.push_back(keep(pe, u32(names + uint64_t{i} * 4)));
            exports_.name_ordinals_.push_back(u16(ordinals + uint64_t{i} * 2));
        }
        pool();
    }

private:
    void refuse(const std::string& why, Image& image)
    {
        image.damage.push_back(why);
        exports_.why_ = why;
    }
    // The text at `rva`: its length, and its place noted, where it is read; else unread, where it does
    // not end in the file's data or the names' budget is spent.
    PeExports::Span keep(Pe& pe, uint64_t rva)
    {
        std::string_view name;
        if (pe.name(rva, name) > Names::Read::again)
            return {0, PeExports::unread};
        return {places_.note(name), static_cast<uint32_t>(name.size())};
    }
    // Each text noted kept in the pool once for its place, and each span pointed there.
    void pool()
    {
        const std::vector<uint32_t> kept_at = places_.keep(exports_.pool_);
        for (PeExports::Target& target : exports_.targets_) {
            if (target.kind == PeExports::Target::Kind::forwarded && target.text.length != PeExports::unread)
                target.text.at = kept_at[target.text.at];
        }
        for (PeExports::Span& span : exports_.names_) {
            if (span.length != PeExports::unread)
                span.at = kept_at[span.at];
        }
    }

    PeExports& exports_;
    Places places_;
};

Found PeExports::found(uint32_t index, bool code) const
{
    if (index >= targets_.size())
        return {Found::Kind::unbound, {}, "its ordinal lies past the export address table"};
    const Target& target = targets_[index];
    switch (target.kind) {
    case Target::Kind::code:
        return {Found::Kind::code, {}, {}};
    case Target::Kind::forwarded:
        if (target.text.length == unread)
            return {Found::Kind::unbound, {}, "it is forwarded to a name outside the file"};
        return {Found::Kind::forwarded, text(target.text), {}};
    case Target::Kind::none:
    case Target::Kind::outside:
        break;
    }
    if (!code)
        return {Found::Kind::code, {}, {}};
    return {Found::Kind::unbound, {}, "its code (at RVA " + hex(target.address) + ") is not in the file's data"};
}

Found PeExports::find(const Import& import) const
{
    return import.name.empty() ? by_ordinal(import.ordinal) : by_name(import.name, import.hint, false);
}

Found PeExports::by_name(std::string_view name, uint32_t hint, bool code) const
{
    if (!why_.empty())
        return {Found::Kind::hidden, {}, why_};
    const auto count = static_cast<uint32_t>(names_.size());
    if (hint < count && names_[hint].length != unread && text(names_[hint]) == name)
        return found(name_ordinals_[hint], code);
    // std::string_view orders as strcmp does: by unsigned bytes.
    for (int64_t low = 0, high = int64_t{count} - 1; low <= high;) {
        const auto middle = static_cast<uint32_t>((low + high) / 2);
        if (names_[middle].length == unread)
            return {Found::Kind::hidden,
                    {},
                    "its export directory's name " + std::to_string(middle + 1) + " lies outside the file's data"};
        const int order = name.compare(text(names_[middle]));
        if (order == 0)
            return found(name_ordinals_[middle], code);
        if (order < 0)
            high = int64_t{middle} - 1;
        else
            low = int64_t{middle} + 1;
    }
    return {};
}

Found PeExports::by_ordinal(uint32_t ordinal) const
{
    if (!why_.empty())
        return {Found::Kind::hidden, {}, why_};
    // Below the base, the difference wraps past the table, as the loader's unsigned one does.
    const uint32_t index = ordinal - base_;
    if (index >= targets_.size() || targets_[index].kind == Target::Kind::none)
        return {};
    return found(index, false);
}

uint32_t PeExports::place_of(std::string_view name) const
{
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i].length != unread && text(names_[i]) == name)
            return static_cast<uint32_t>(i + 1);
    }
    return 0;
}

// Sorted, not hashed, to find those that repeat: first by place, as one place is one text however
// long, then the places by text, so that the texts compared are each kept once.
std::vector<std::string> PeExports::names() const
{
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < names_.size(); ++i) {
        if (names_[i].length != unread)
            order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return names_[a].at < names_[b].at; });
    order.erase(
        std::unique(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return names_[a].at == names_[b].at; }),
        order.end());
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return text(names_[a]) < text(names_[b]); });
    std::vector<bool> first(names_.size());
    for (size_t i = 0; i < order.size(); ++i)
        first[order[i]] = i == 0 || text(names_[order[i]]) != text(names_[order[i - 1]]);
    std::vector<std::string> each;
    for (uint32_t i = 0; i < names_.size(); ++i) {
        if (first[i])
            each.emplace_back(text(names_[i]));
    }
    return each;
}

namespace {

// The entry looked up as the loader looks it up, from the importer's hint; where it is not found, the
// names it exports, for the checks to tell a near name.
void find_entry(const PeExports& exports, uint32_t hint, Image& image)
{
    const Found found = exports.by_name(entry_name, hint, true);
    switch (found.kind) {
    case Found::Kind::code:
        image.entry = Entry::bound;
        return;
    case Found::Kind::forwarded:
        image.entry = Entry::unbound;
        image.entry_why = "it is forwarded to " + shown(found.forwarder);
        return;
    case Found::Kind::unbound:
        image.entry = Entry::unbound;
        image.entry_why = found.why;
        return;
    case Found::Kind::hidden:
        // The table's own damage is said as it is read; a name that the search meets and cannot read
        // is said here.
        if (std::find(image.damage.begin(), image.damage.end(), found.why) == image.damage.end())
            image.damage.push_back(found.why);
        image.entry = Entry::missed;
        return;
    case Found::Kind::absent:
        break;
    }
    image.exports = exports.names();
    if (const uint32_t place = exports.place_of(entry_name)) {
        image.damage.push_back(std::string("its export names are out of order, and the loader, which looks ") +
                               entry_name + " up at the importer's hint and then by halving the sorted names, " +
                               "does not find it (its name " + std::to_string(place) + " of " +
                               std::to_string(exports.name_count()) + ")");
        image.entry = Entry::missed;
    }
}

} // namespace

// Keeps the functions that an image's import tables bind in a PeBindings: each name once for its
// place in the file, however many entries point at it, so that the names cost no more than the
// Names budget that read them. `done` keeps them once all are added.
class PeBindingsReader {
public:
    PeBindingsReader(Image& image, PeBindings& bindings)
        : image(image)
        , bindings_(bindings)
    {
    }

    // A library imported, next in `image.imports`.
    void library(std::string_view name)
    {
        image.imports.emplace_back(name);
    }
    void add(uint32_t library, std::string_view name, uint32_t hint)
    {
        bindings_.functions_.push_back({library, places_.note(name), static_cast<uint32_t>(name.size()), hint});
    }
    void add(uint32_t library, uint32_t ordinal)
    {
        bindings_.functions_.push_back({library, 0, PeBindings::Function::by_ordinal, ordinal});
    }
    void done()
    {
        const std::vector<uint32_t> kept_at = places_.keep(bindings_.names_);
        for (PeBindings::Function& function : bindings_.functions_) {
            if (function.name_length != PeBindings::Function::by_ordinal)
                function.name_at = kept_at[function.name_at];
        }
    }

    Image& image;

private:
    PeBindings& bindings_;
    Places places_;
};

Import PeBindings::at(size_t index, size_t& library) const
{
    const Function& function = functions_[index];
    Import import;
    library = function.library;
    if (function.name_length == Function::by_ordinal) {
        import.ordinal = function.hint_or_ordinal;
    } else {
        import.name = names_.substr(function.name_at, function.name_length);
        import.hint = function.hint_or_ordinal;
    }
    return import;
}

namespace {

// Walks the lookup table at `start` of the library `library` (its index in `image.imports`), as the
// loader reads it: to its empty entry, each name it imports readable, each function kept in
// `bindings`. A walk that meets one made for an earlier descriptor goes no further (`walked`: where
// each walk of entries in line with this one began and ended), so that tables made to overlap are read
// once: what they share is bound from the earlier descriptor's library alone, as no linker makes them.
void walk_lookup(Pe& pe, uint64_t start, uint32_t library, std::map<uint64_t, uint64_t>& walked,
                 PeBindingsReader& bindings)
{
    Image& image = bindings.image;
    const std::string shown_library = shown(image.imports[library]);
    const uint32_t width = pe.plus ? 8 : 4;
    const uint64_t ordinal_flag = uint64_t{1} << (width * 8 - 1);
    auto next = walked.upper_bound(start);
    if (next != walked.begin()) {
        const auto before = std::prev(next);
        if (start <= before->second)
            return;
    }
    // The walks of one map begin in line with this one's entries: it meets the next at its beginning.
    uint64_t entry = start;
    for (;; entry += width) {
        if (next != walked.end() && next->first == entry) {
            entry = next->second;
            walked.erase(next);
            break;
        }
        const unsigned char* slot = pe.mapped(entry, width);
        if (!slot) {
            image.damage.push_back("the names it imports from " + shown_library + " run out of the file's data");
            break;
        }
        const uint64_t value = pe.plus ? u64(slot) : u32(slot);
        if (value == 0)
            break;
        if (value & ordinal_flag) {
            bindings.add(library, static_cast<uint16_t>(value));
            continue;
        }
        const uint64_t hint_at = value & 0x7FFFFFFF;
        std::string_view name;
        const Names::Read read = pe.name(hint_at + 2, name);
        if (read == Names::Read::unended)
            image.damage.push_back("a name it imports from " + shown_library + " (at RVA " + hex(hint_at) +
                                   ") lies outside the file's data");
        // Each function is given to the checks with a copy of its name: a name read again counts
        // against the names' budget, so that many entries that share one long name cost no more than it.
        if (read > Names::Read::again || (read == Names::Read::again && !pe.names.charge(name.size())))
            break;
        const unsigned char* hint = pe.mapped(hint_at, 2);
        if (!hint && read == Names::Read::fresh)
            image.damage.push_back("the hint of " + shown(name) + ", which it imports from " + shown_library +
                                   " (at RVA " + hex(hint_at) + "), lies outside the file's data");
        if (name == entry_name && hint)
            image.entry_hint = u16(hint);
        bindings.add(library, name, hint ? u16(hint) : no_hint);
    }
    walked[start] = entry;
}

// The libraries bound at load, as the loader walks them; those loaded later by the delay-load helper
// cannot stop a start. Each library's lookup table is walked too: a name it cannot read stops the load.
void read_imports(Pe& pe, PeBindingsReader& bindings)
{
    Image& image = bindings.image;
    const uint32_t first = pe.directories[import_entry].rva;
    if (first == 0)
        return;
    const uint32_t width = pe.plus ? 8 : 4;
    std::map<uint64_t, uint64_t> walked[8];              // by where in its entry's width a walk began
    std::unordered_map<const char*, uint32_t> libraries; // each name's place, by its index in `imports`
    for (uint64_t at = first;; at += import_descriptor_size) {
        const unsigned char* descriptor = pe.mapped(at, import_descriptor_size);
        if (!descriptor) {
            image.damage.push_back("its import directory (RVA " + hex(first) +
                                   ") runs out of the file's data before its closing empty entry");
            return;
        }
        const uint32_t lookup = u32(descriptor);
        const uint32_t name_at = u32(descriptor + 12);
        const uint32_t bound_at = u32(descriptor + 16);
        if (name_at == 0 || bound_at == 0)
            return;
        std::string_view name;
        const Names::Read read = pe.name(name_at, name);
        if (read == Names::Read::unended)
            image.damage.push_back("its import directory names a library at RVA " + hex(name_at) +
                                   ", outside the file's data");
        if (read > Names::Read::again)
            return;
        if (!pe.in_image(bound_at))
            image.damage.push_back("the import address table of " + shown(name) + " (RVA " + hex(bound_at) +
                                   ") lies outside its image's sections");
        const auto library = libraries.emplace(name.data(), static_cast<uint32_t>(image.imports.size()));
        if (library.second)
            bindings.library(name);
        const uint64_t start = lookup != 0 ? lookup : bound_at;
        walk_lookup(pe, start, library.first->second, walked[start % width], bindings);
    }
}

} // namespace

namespace {

// The MZ and PE headers and the section table of `pe`, as the loader takes them: not_an_image or
// damaged, with `why`, where it does not.
ImageRead read_image(Pe& pe, size_t size, Image& image, std::string& why)
{
    const unsigned char* dos = pe.file(0, 64);
    if (!dos || dos[0] != 'M' || dos[1] != 'Z') {
        why = "it is not a program image (it does not begin with MZ)";
        return ImageRead::not_an_image;
    }
    const uint32_t header = u32(dos + 0x3C);
    const unsigned char* signature = pe.file(header, 4);
    if (!signature || memcmp(signature, "PE\0\0", 4) != 0) {
        why = "it is not a program image (no PE header where its MZ header points, at byte " + hex(header) + ")";
        return ImageRead::not_an_image;
    }
    if (!pe.file(header, 24)) {
        why = "it is cut: its file header runs past the file's end at byte " + hex(size);
        return ImageRead::damaged;
    }
    why = read_headers(pe, size, header, image);
    return why.empty() ? ImageRead::ok : ImageRead::damaged;
}

} // namespace

ImageRead read_pe(const unsigned char* data, size_t size, uint32_t entry_hint, Image& image, std::string& why)
{
    image = Image{};
    auto exports = std::make_shared<PeExports>();
    Pe pe(data, size);
    const ImageRead read = read_image(pe, size, image, why);
    if (read != ImageRead::ok)
        return read;
    check_directories(pe, image);
    check_hybrid(pe, image);
    // The code the loader runs first: the program's start, or a library's DllMain.
    if (pe.entry_point != 0 && (!pe.mapped(pe.entry_point, 1) || pe.entry_point < pe.headers_size))
        image.damage.push_back("its entry point (RVA " + hex(pe.entry_point) + ") is not in the file's data");
    PeExportsReader(*exports).read(pe, image);
    find_entry(*exports, entry_hint, image);
    image.exports_table = std::move(exports);
    auto bindings = std::make_shared<PeBindings>();
    PeBindingsReader reader(image, *bindings);
    read_imports(pe, reader);
    reader.done();
    image.bindings = std::move(bindings);
    if (pe.names.spent())
        image.damage.push_back(pe.names.spent_damage());
    return ImageRead::ok;
}

std::string_view pe_section(const unsigned char* data, size_t size, std::string_view name)
{
    Pe pe(data, size);
    Image image;
    std::string why;
    if (read_image(pe, size, image, why) != ImageRead::ok)
        return {};
    for (const Section& s : pe.sections) {
        if (s.name == name && s.data_size != 0)
            return {reinterpret_cast<const char*>(data) + s.data_at, s.data_size};
    }
    return {};
}
