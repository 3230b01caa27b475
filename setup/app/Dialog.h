// A small modal-dialog base on the Win32 dialog API, shaped after the dialog framework the
// product was designed on: a template id, OnInitDialog, DoDataExchange/UpdateData and a static
// message map per class.
#pragma once

#include <windows.h>

class CDataExchange {
public:
    CDataExchange(HWND dialog, BOOL saveAndValidate)
        : m_hWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
    HWND m_hWnd;
    BOOL m_bSaveAndValidate; // TRUE: controls to members; FALSE: members to controls
};

class CDialog {
public:
    CDialog(UINT templateId, HWND parent);
    virtual ~CDialog();

    HWND GetSafeHwnd() const { return m_hWnd; }
    // Exchanges control texts with members through DoDataExchange.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

protected:
    virtual void DoDataExchange(CDataExchange* pDX);

    UINT m_nTemplateId;
    HWND m_hWndParent;
    HWND m_hWnd = nullptr;
};
