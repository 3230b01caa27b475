#include "installers/MessagePump.h"

#include "installers/SetupDialogView.h"
#include "platform/SystemApi.h"

void PumpMessages(CSetupDialogView& dialog) {
    CSystemApi& api = SystemApi();
    MSG message;
    while (api.PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (api.IsDialogMessageA(dialog.GetSafeHwnd(), &message))
            continue;
        api.TranslateMessage(&message);
        api.DispatchMessageA(&message);
    }
}
