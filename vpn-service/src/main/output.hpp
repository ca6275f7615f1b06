#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "core/failure.hpp"

namespace velnaro {

// Writes text and a line feed to standard output in one piece and flushes, so a reader
// never sees half a line and an exit right after loses nothing.
void print_line(std::string_view text);

// The French usage line on standard error.
void print_usage();

// The fixed pass-or-fail envelope of the self-tests that report only a detail code.
std::string detail_code_envelope(const std::optional<std::string_view>& code);

// Prints a self-test's pass-or-fail envelope; returns the exit status (0 on success).
int print_status_result(const Outcome<void>& outcome);

// Prints a result line and returns the exit status. A line that could not be built (only the
// JSON library running out of memory does that) ends the process: `what` says which.
int print_result_line(const std::optional<std::string>& line, bool success, std::string_view what);

// Runs a serializer, turning a thrown JSON or allocation failure into nothing.
template <class Serialize>
std::optional<std::string> serialized(Serialize serialize) {
    try {
        return serialize();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace velnaro
