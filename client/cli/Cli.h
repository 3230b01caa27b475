// talvikctl's commands, separate from its entry point so that tests can run them against a fake.
#pragma once

#include "Output.h"
#include "talvik/Client.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvik::cli {

enum ExitCode { kExitOk = 0, kExitRequestFailed = 1, kExitUsage = 2 };

// Numbers as typed: decimal, or hexadecimal with 0x; nothing else, nothing above max.
std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max);
// Pairs of hex digits, optionally separated by blanks, ':', '-' or ','.
std::optional<std::vector<uint8_t>> ParseHex(const std::string& text);
std::string FormatHex(const uint8_t* data, size_t length);

// Splits a script line into words; '#' starts a comment.
std::vector<std::string> SplitWords(const std::string& line);

// Runs one command line (without the program name) and returns the process exit code.
int Run(const std::vector<std::string>& args, Client& client, Output& out, Output& err);

void PrintUsage(Output& out);

} // namespace talvik::cli
