// The number reader against a model of its rules written apart from it: atol's reading (white space,
// one sign, decimal digits, the rest ignored), saturated to the signed 32-bit range.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "hook_value.h"

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int32_t model(const std::string& text)
{
    size_t at = 0;
    while (at < text.size() && is_space(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    // The magnitude stops growing once it is past what any 32-bit value needs.
    int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        magnitude = std::min<int64_t>(magnitude * 10 + (text[at] - '0'), int64_t{1} << 31);
    const int64_t value = negative ? -magnitude : magnitude;
    return static_cast<int32_t>(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An argument ends at its first NUL, as one on a command line does.
    const std::string argument = std::string(reinterpret_cast<const char*>(data), size).c_str();
    if (read_hook_value(argument.c_str()) != model(argument))
        abort();
    return 0;
}
