// The message catalogue: the setup's texts, stored as UTF-16 string resources and handed out in
// the thread's ANSI code page.
#pragma once

#include <windows.h>

#include <string>

// The text of the string resource `id`; empty when there is no such resource.
std::string LoadCatalogText(UINT id);
