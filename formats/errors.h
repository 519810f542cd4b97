// Two families of failure, so that callers can tell them apart once: the
// person's input is wrong (a file, a preset, an argument, a request; fix it
// and try again), or the machine failed (reading or writing, a process, the
// host). Running out of memory stays std::bad_alloc.
#pragma once

#include <stdexcept>

namespace sf {

// The input is wrong; the message is one line telling what to change.
class input_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The machine failed; the message is one line.
class machine_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace sf
