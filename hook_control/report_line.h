// The host's report line, "Adding hook for <number>", as it arrives on its standard output.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace hook_control_internal {

class ReportLine {
public:
    enum class State { incomplete, read, malformed };

    // Takes the next bytes of the host's output, in whatever pieces they come. Bytes after the line's
    // LF are not looked at: the host writes nothing after it.
    State take(const char* bytes, size_t size);

    State state() const
    {
        return state_;
    }

    // The line's number, once it is read.
    int32_t number() const
    {
        return number_;
    }

    // What came in its place, once it is malformed: its printable bytes, every other one as '?'.
    const char* text() const
    {
        return text_;
    }

private:
    State parse();

    // The longest report line ("Adding hook for -2147483648\r\n") with room to spare; a longer one
    // is not a report line.
    char text_[48] = {};
    size_t length_ = 0;
    State state_ = State::incomplete;
    int32_t number_ = 0;
};

} // namespace hook_control_internal
