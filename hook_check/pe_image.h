// A PE image read from its file's bytes, without the system's image services, so that it is read the
// same on every platform and can be fuzzed anywhere.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "image.h"

// A PE image's export table, kept from its file's bytes once they are gone, and looked up as the
// loader looks up what an importer binds. Its memory is proportional to the table's size in the file.
class PeExports : public Exports {
public:
    // By its ordinal where it has no name, else by name from its hint.
    Found find(const Import& import) const override;
    // The function exported as `name`, looked up as the PE format's documentation of the hint/name
    // table says: at the importer's `hint`, then by halving the export names, which the format keeps
    // sorted (a table out of order hides names from it). Time: the log of the names' count. Where
    // `code`, found only where it leads to code in the file's data, as a function the host calls must;
    // else wherever it leads, as the loader binds it without looking there.
    Found by_name(std::string_view name, uint32_t hint, bool code) const;
    // The function at export ordinal `ordinal`, the table's base subtracted, within its count: none
    // where its address is 0, as a gap in the ordinals is.
    Found by_ordinal(uint32_t ordinal) const;
    // Where the names are out of order: the place (from 1) of `name` among them, found by reading
    // them all, for a table that hides it from the loader; else 0.
    uint32_t place_of(std::string_view name) const;
    size_t name_count() const
    {
        return names_.size();
    }
    // The names exported, each once, in the table's order.
    std::vector<std::string> names() const;

private:
    friend class PeExportsReader;
    // Where a text lies in `pool_`; `unread` where the loader could not read it from the file.
    struct Span {
        uint32_t at;
        uint32_t length;
    };
    static constexpr uint32_t unread = UINT32_MAX;
    // Where an entry of the address table leads: code, no entry (0), forwarded (`text` the
    // forwarder's), or outside the file's data.
    struct Target {
        enum class Kind : uint8_t { code, none, forwarded, outside } kind;
        uint32_t address;
        Span text;
    };
    std::string_view text(Span span) const
    {
        return std::string_view(pool_).substr(span.at, span.length);
    }
    Found found(uint32_t index, bool code) const;

    std::string why_; // where the table itself cannot be read: why, said for every lookup
    uint32_t base_ = 0;
    std::vector<Target> targets_; // by ordinal less the base
    std::vector<Span> names_;     // in the table's order
    std::vector<uint16_t> name_ordinals_;
    std::string pool_; // every text read, each place of the file once
};

// The functions that a PE image's import tables bind, in 16 bytes each, every name kept once for its
// place in the file.
class PeBindings : public Bindings {
public:
    size_t size() const override
    {
        return functions_.size();
    }
    Import at(size_t index, size_t& library) const override;

private:
    friend class PeBindingsReader;
    // Its library, by its place in the image's imports; its name's place in `names_`, or by_ordinal with
    // its ordinal in `hint_or_ordinal`; else its hint there.
    struct Function {
        static constexpr uint32_t by_ordinal = UINT32_MAX;
        uint32_t library;
        uint32_t name_at;
        uint32_t name_length;
        uint32_t hint_or_ordinal;
    };
    std::vector<Function> functions_;
    std::string names_;
};

// `size` bytes at `data` read as a PE32 or PE32+ image, as the Windows loader maps them: not_an_image
// where they are no PE image; damaged, with `why`, where the loader refuses its headers or section
// table; else ok, with what else the loader refuses in `image.damage`, the entry looked up as the
// loader looks it up for an import whose hint is `entry_hint`, the functions it imports in
// `image.bindings` and its export table in `image.exports_table`. Nothing outside the bytes is read;
// time and memory are proportional to `size`.
ImageRead read_pe(const unsigned char* data, size_t size, uint32_t entry_hint, Image& image, std::string& why);

// The file's data of the section named `name` in the PE image `data` (`size` bytes), as the loader
// maps it: empty, with a null data, where the image has no such section or the loader refuses it.
std::string_view pe_section(const unsigned char* data, size_t size, std::string_view name);
