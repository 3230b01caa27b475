// Paths of the package tree that lies beside the program: each composed from the program
// directory D (which ends in a backslash) exactly as the medium is laid out and as the tools have
// always been started:
//   D\DisplayDriver\x64|x86\DPInst.exe    (two backslashes in a row after D)
//   D\Program\Setup.exe                   (two backslashes in a row after D)
//   DSensorDrivers\x64|x86\SensorInst.exe
//   DSensorDrivers\Package\*              (one sub-directory per sensor-driver package)
// Every function gives an empty string when the program directory is unknown (see
// GetModuleDirectory); an empty result is never to be started or searched.
#pragma once

#include <string>

std::string GetDisplayDriverToolPath();
std::string GetProductInstallerPath();
std::string GetSensorInstallerPath();
// The directory that holds the sensor-driver packages, without a trailing backslash.
std::string GetSensorPackagesDirectory();

// A program path as the first token of a command line: in double quotes, so that a directory with
// blanks is not read as a shorter program path followed by arguments.
std::string QuoteCommandPath(const std::string& path);
