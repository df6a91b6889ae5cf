#include "report_line.h"

#include <string.h>

namespace hook_control_internal {

namespace {
const char prefix[] = "Adding hook for ";
}

ReportLine::State ReportLine::take(const char* bytes, size_t size)
{
    for (size_t i = 0; i < size && state_ == State::incomplete; ++i) {
        if (bytes[i] == '\n')
            state_ = parse();
        else if (length_ + 1 == sizeof text_)
            state_ = State::malformed;
        else
            text_[length_++] = bytes[i];
    }
    if (state_ == State::malformed) {
        for (size_t i = 0; i < length_; ++i)
            text_[i] = text_[i] >= ' ' && text_[i] <= '~' ? text_[i] : '?';
    }
    return state_;
}

ReportLine::State ReportLine::parse()
{
    // The Windows C runtime writes standard output in text mode: the line ends in CR LF there.
    size_t end = length_;
    if (end > 0 && text_[end - 1] == '\r')
        --end;
    const size_t prefix_length = sizeof prefix - 1;
    if (end <= prefix_length || memcmp(text_, prefix, prefix_length) != 0)
        return State::malformed;
    size_t at = prefix_length;
    const bool negative = text_[at] == '-';
    if (negative && ++at == end)
        return State::malformed;
    int64_t magnitude = 0;
    for (; at < end; ++at) {
        if (text_[at] < '0' || text_[at] > '9')
            return State::malformed;
        magnitude = magnitude * 10 + (text_[at] - '0');
        if (magnitude > int64_t{INT32_MAX} + 1)
            return State::malformed;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        return State::malformed;
    number_ = static_cast<int32_t>(value);
    return State::read;
}

} // namespace hook_control_internal
