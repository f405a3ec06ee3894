// Thin wrappers over the POSIX calls that the GPIO operations share.
// Private to gpio/: not part of the subsystem's interface.
#pragma once

#include <cstddef>
#include <string_view>

#include <sys/types.h>

namespace gpio::sys {

// open(2) with O_CLOEXEC added, retried when a signal interrupts it.
// Returns the descriptor, or -1.
int openFile(const char* path, int flags);

// One read(2) or write(2), retried only when a signal interrupts it before
// anything was transferred. Returns what the call returned.
ssize_t readOnce(int fd, void* data, std::size_t size);
ssize_t writeOnce(int fd, const void* data, std::size_t size);

// Writes `text` and a newline to standard output as one line, unbuffered, so
// that it reaches a pipe or a log file at once. Errors are ignored: a message
// that cannot be delivered must not stop the program.
void printLine(std::string_view text);

}  // namespace gpio::sys
