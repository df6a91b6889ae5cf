#include "api_sets.h"

#include <stdint.h>

#include "names.h"
#include "pe_image.h"

namespace {

constexpr uint32_t format = 6;
constexpr size_t header_size = 28;
constexpr size_t entry_size = 24;
constexpr size_t value_size = 20;

uint32_t u32(const unsigned char* at)
{
    return static_cast<uint32_t>(at[0] | at[1] << 8 | at[2] << 16) | static_cast<uint32_t>(at[3]) << 24;
}

// The schema's bytes, read within them: every text read counts against a budget of their size, so
// that entries pointing at one long text over and over cost no more than the schema.
class Schema {
public:
    explicit Schema(std::string_view bytes)
        : bytes_(bytes)
        , left_(bytes.size())
    {
    }

    const unsigned char* at(uint64_t offset, uint64_t length) const
    {
        return offset <= bytes_.size() && length <= bytes_.size() - offset
                   ? reinterpret_cast<const unsigned char*>(bytes_.data()) + offset
                   : nullptr;
    }
    // The UTF-16 text of `length` bytes at `offset` in lowercase, its first `kept` bytes; a unit past
    // ASCII kept as a byte no file name of an import holds. False where it lies outside the bytes.
    bool text(uint32_t offset, uint32_t length, uint32_t kept, std::string& text)
    {
        const unsigned char* units = at(offset, length);
        if (!units || length % 2 != 0 || kept > length || length > left_)
            return false;
        left_ -= length;
        text.clear();
        for (size_t i = 0; i < kept / 2; ++i) {
            const unsigned unit = units[2 * i] | units[2 * i + 1] << 8;
            text += unit < 0x80 ? ascii_lower(static_cast<char>(unit)) : '\xFF';
        }
        return true;
    }

private:
    std::string_view bytes_;
    size_t left_;
};

} // namespace

bool ApiSets::read(const unsigned char* data, size_t size, std::string& why)
{
    const std::string_view section = pe_section(data, size, ".apiset");
    if (section.data() == nullptr) {
        why = "it has no .apiset section";
        return false;
    }
    Schema schema(section);
    const unsigned char* header = schema.at(0, header_size);
    if (!header || u32(header) != format) {
        why = header ? "its schema is of format " + std::to_string(u32(header)) + ", not " + std::to_string(format)
                     : "its .apiset section is too short to hold a schema";
        return false;
    }
    const uint32_t count = u32(header + 12);
    const unsigned char* entries = schema.at(u32(header + 16), uint64_t{count} * entry_size);
    if (!entries) {
        why = "its schema's " + std::to_string(count) + " entries lie outside it";
        return false;
    }
    const std::string damaged = "its schema names a text or value outside it";
    uint64_t values_left = section.size() / value_size; // values in all, as many as its bytes could hold
    sets_.clear();
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* entry = entries + size_t{i} * entry_size;
        const uint32_t value_count = u32(entry + 20);
        const unsigned char* values = schema.at(u32(entry + 16), uint64_t{value_count} * value_size);
        std::string name;
        if (!values || value_count > values_left ||
            !schema.text(u32(entry + 4), u32(entry + 8), u32(entry + 12), name)) {
            why = damaged;
            return false;
        }
        values_left -= value_count;
        Set set;
        for (uint32_t v = 0; v < value_count; ++v) {
            const unsigned char* value = values + size_t{v} * value_size;
            std::string importer;
            std::string library;
            if (!schema.text(u32(value + 4), u32(value + 8), u32(value + 8), importer) ||
                !schema.text(u32(value + 12), u32(value + 16), u32(value + 16), library)) {
                why = damaged;
                return false;
            }
            // The first value is the one for every importer; the rest are for the importer each names.
            if (v == 0)
                set.library = std::move(library);
            else
                set.exceptions.emplace_back(std::move(importer), std::move(library));
        }
        sets_.emplace(std::move(name), std::move(set));
    }
    return true;
}

ApiSets::Mapping ApiSets::map(std::string_view name, std::string_view importer, std::string& library) const
{
    const std::string lower_name = lowered(name);
    if (lower_name.rfind("api-", 0) != 0 && lower_name.rfind("ext-", 0) != 0)
        return Mapping::not_a_set;
    // A set is named without its last version number and the extension: api-ms-win-core-file-l1-2
    // for api-ms-win-core-file-l1-2-4.dll, whatever its last number.
    const auto found = sets_.find(std::string_view(lower_name).substr(0, lower_name.rfind('-')));
    if (found == sets_.end())
        return Mapping::not_a_set;
    library = found->second.library;
    const std::string lower_importer = lowered(importer);
    for (const auto& exception : found->second.exceptions) {
        if (exception.first == lower_importer)
            library = exception.second;
    }
    return library.empty() ? Mapping::unhosted : Mapping::mapped;
}
