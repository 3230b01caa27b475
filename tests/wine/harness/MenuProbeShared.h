// What the harness and its menu probe DLL exchange through the observed process's memory.
#pragma once

#include <windows.h>

struct WtMenuProbeRequest {
    static const int kMaxItems = 64;
    static const int kTextMax = 128;
    HWND window;
    LONG count; // -1: the window has no system menu
    struct {
        UINT id;
        UINT type;
        UINT state;
        WCHAR text[kTextMax];
    } items[kMaxItems];
};
