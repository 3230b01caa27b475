// The setup dialog: a status line and an OK button.
#pragma once

#include "app/Dialog.h"
#include "installers/SetupDialogView.h"

#include <string>

class CKLDRSetupDlg : public CDialog, public CSetupDialogView {
public:
    explicit CKLDRSetupDlg(HWND parent = nullptr);
    ~CKLDRSetupDlg() override;

    // The view the installer steps and the sequence are given.
    HWND GetSafeHwnd() const override { return CDialog::GetSafeHwnd(); }
    // The status-line update: controls to members, assign, members to controls.
    void UpdateStatus(const std::string& text) override;
    BOOL IsUninstalling() const override { return m_bUninstall; }

    HICON m_hIcon;
    std::string m_strStatus;
    BOOL m_bUninstall;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnInstallSensors(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()
};
