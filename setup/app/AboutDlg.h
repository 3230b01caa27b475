// The about box: template 100, nothing of its own.
#pragma once

#include "app/Dialog.h"

class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(HWND owner = nullptr);
    ~CAboutDlg() override;

    DECLARE_MESSAGE_MAP()
};
