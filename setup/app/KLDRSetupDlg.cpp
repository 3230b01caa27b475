#include "app/KLDRSetupDlg.h"

#include "platform/SystemApi.h"

namespace {
constexpr UINT IDD_KLDRSETUP_DIALOG = 102;
constexpr int IDC_STATUS = 1000;
constexpr int kStatusMax = 1024;
} // namespace

CKLDRSetupDlg::CKLDRSetupDlg(HWND parent)
    : CDialog(IDD_KLDRSETUP_DIALOG, parent), m_hIcon(nullptr), m_bUninstall(FALSE) {
    m_hIcon = SystemApi().LoadIconA(AppInstance(), MAKEINTRESOURCEA(1));
}

CKLDRSetupDlg::~CKLDRSetupDlg() = default;

void CKLDRSetupDlg::DoDataExchange(CDataExchange* pDX) {
    if (pDX->m_bSaveAndValidate) {
        char text[kStatusMax];
        SystemApi().GetDlgItemTextA(pDX->m_hWnd, IDC_STATUS, text, kStatusMax);
        m_strStatus = text;
    } else {
        SystemApi().SetDlgItemTextA(pDX->m_hWnd, IDC_STATUS, m_strStatus.c_str());
    }
}

void CKLDRSetupDlg::UpdateStatus(const std::string& text) {
    UpdateData(TRUE);
    m_strStatus = text;
    UpdateData(FALSE);
}
