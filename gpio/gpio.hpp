// GPIO access over the Linux sysfs interface (/sys/class/gpio).
//
// Every operation forms its paths anew, opens its file, reads or writes it
// once and closes it before returning; nothing is kept between calls.
// Failures are reported twice: a one-line message on standard output (some
// failures have none) and a result of false to the caller.
#pragma once

#include <cstdint>

namespace gpio {

// Where the kernel publishes the GPIO attributes. The program always uses
// this; the `root` parameters below exist so that tests can point the
// operations at a tree of their own. A root must end with '/'.
inline constexpr const char* kSysfsRoot = "/sys/class/gpio/";

// Every path is assembled in a buffer of this size, so it holds at most
// kPathSize - 1 characters. A path that would be longer is never opened.
inline constexpr int kPathSize = 100;

// Every text written to an attribute goes out as exactly this many bytes in a
// single write(2): the text, then zero bytes. Longer texts are never written.
inline constexpr int kRecordSize = 8;

// Size of the buffer a pin's value is read into.
inline constexpr int kValueBufferSize = 10;

// --- File probes -----------------------------------------------------------

// True when `path` can be opened for reading (a directory counts). Prints
// nothing.
bool checkFile(const char* path);

// Reads the start of the file's first line into `buffer`, as fgets(3) would:
// at most size - 1 characters, up to and including the first newline,
// followed by a zero byte. An empty file leaves the buffer as it was. In every
// case that gets as far as opening the file, buffer[size - 1] is then zeroed.
// A missing path or buffer, a size of 1 or less, or a file that cannot be
// opened or whose first read fails prints "Kan bestand niet vinden of
// foutieve argumenten" and leaves the buffer untouched.
void readFile(const char* path, char* buffer, std::int32_t size);

// --- Pin operations --------------------------------------------------------
// A pin is named by its number in decimal digits ("25"). A pin text that is
// not 1 to 8 decimal digits names no pin: the operation touches no file and
// fails without a message (readGPIOAsync reports it like an unreadable value,
// with readFile's message).

// Exports `pin`, waits half a second for the kernel to set the pin up, and
// sets its direction ("out" or "in"). True on success.
bool exportGPIO(const char* pin, const char* direction, const char* root = kSysfsRoot);

// Sets an exported output pin's level ("1" or "0"). True on success.
bool writeGPIO(const char* pin, const char* value, const char* root = kSysfsRoot);

// Reads the pin's level once. False when the value reads as '0...' (low);
// true otherwise, including when the value cannot be read at all.
bool readGPIOAsync(const char* pin, const char* root = kSysfsRoot);

}  // namespace gpio
