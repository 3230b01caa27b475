// wt_menuprobe.dll: loaded by the harness into the process that owns a window, to read that
// window's system menu where the menu lives.
#include "MenuProbeShared.h"

extern "C" __declspec(dllexport) DWORD WINAPI WtReadSystemMenu(void* parameter) {
    auto* request = static_cast<WtMenuProbeRequest*>(parameter);
    HMENU menu = GetSystemMenu(request->window, FALSE);
    if (!menu) {
        request->count = -1;
        return 0;
    }
    int count = GetMenuItemCount(menu);
    if (count > WtMenuProbeRequest::kMaxItems)
        count = WtMenuProbeRequest::kMaxItems;
    request->count = count;
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE;
        GetMenuItemInfoW(menu, i, TRUE, &info);
        request->items[i].id = info.wID;
        request->items[i].type = info.fType;
        request->items[i].state = info.fState;
        GetMenuStringW(menu, i, request->items[i].text, WtMenuProbeRequest::kTextMax,
                       MF_BYPOSITION);
    }
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
