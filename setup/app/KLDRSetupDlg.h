// The setup dialog: a status line and an OK button.
#pragma once

#include "app/Dialog.h"

#include <string>

class CKLDRSetupDlg : public CDialog {
public:
    explicit CKLDRSetupDlg(HWND parent = nullptr);
    ~CKLDRSetupDlg() override;

    // The status-line update: controls to members, assign, members to controls.
    void UpdateStatus(const std::string& text);

    HICON m_hIcon;
    std::string m_strStatus;
    BOOL m_bUninstall;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();

    DECLARE_MESSAGE_MAP()
};
