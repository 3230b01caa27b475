// The message catalogue as the application shows it: its texts (platform/StringTable.h), the
// application name and the program's message box.
#pragma once

#include "platform/StringTable.h"

#include <windows.h>

#include <string>

// The application name: the program's title string if it carries one, else the base name of its
// file without extension ("Setup" for Setup.exe). Caption of every message box, part of the mutex
// name.
std::string GetAppName();

// A message box with the catalogue text `textId`, an OK button, the given icon (MB_ICONERROR or
// MB_ICONINFORMATION) and the application name as caption, owned by `owner` (the setup dialog).
void ShowCatalogueMessage(HWND owner, UINT textId, UINT icon);
