#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velnaro::platform {

// The process arguments after the program path, as UTF-8. On Windows they are read from
// the wide command line; an element that is not valid UTF-16 becomes text with U+FFFD, and
// on Linux bytes are passed as they are (the entry refuses invalid text).
std::vector<std::string> program_arguments(int argc, char** argv);

// Standard output and error carry exact bytes: every line ends with a lone line feed, also
// on Windows, where the C runtime would otherwise write a carriage return before it.
void use_binary_standard_streams();

// Opens a file named by a UTF-8 path (as program_arguments gives it) for reading bytes, or
// nothing with errno set. On Windows the name is opened as UTF-16, so a name outside the ANSI
// code page ("C:\Users\Zoë\tunnel.json") is found.
std::FILE* open_for_reading(const std::string& path);

}  // namespace velnaro::platform
