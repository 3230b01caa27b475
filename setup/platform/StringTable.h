// The program's string table (the message catalogue, ids 101-109, and the title), stored as
// UTF-16 and read in the thread's ANSI code page, the code page of every other text here.
#pragma once

#include <windows.h>

#include <string>

// The text of a catalogue id in the thread's ANSI code page; empty when the id is missing.
std::string LoadCatalogueText(UINT id);
