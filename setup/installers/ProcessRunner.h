// Starting one outside tool and waiting for it to end.
#pragma once

#include <windows.h>

#include <string>

// Starts the command line as a child process (its first token names the program file; the child
// inherits no handles and keeps this program's environment and current directory) and blocks
// until it ends. TRUE when the child started, ended and its exit code was read into `exitCode`;
// the code's value plays no part in the result. FALSE when it could not be started, in which case
// `exitCode` is left alone. Both process handles are closed before returning.
BOOL RunAndWait(const std::string& commandLine, DWORD& exitCode);
