// The host's report line, "Adding hook for <number>", as it arrives on its standard output.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "hook_control.h"

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

    // What a wait for the line gives once it has ended: HOOK_HOST_OK with the line's number in
    // *reported, or HOOK_HOST_FAILED where it is not a report line.
    hook_host_result outcome(unsigned long process_id, int32_t* reported) const;

    // What a wait for the line gives where the output ended without one and the process runs on.
    static hook_host_result closed_without_line(unsigned long process_id);

private:
    State parse();

    // The longest report line ("Adding hook for -2147483648\r\n") with room to spare; a longer one
    // is not a report line.
    char text_[48] = {};
    size_t length_ = 0;
    State state_ = State::incomplete;
    int32_t number_ = 0;
};
