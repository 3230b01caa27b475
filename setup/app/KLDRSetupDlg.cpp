#include "app/KLDRSetupDlg.h"

#include "app/AboutDlg.h"
#include "app/Catalogue.h"
#include "platform/SystemApi.h"
#include "res/resource.h"

namespace {
constexpr int kStatusMax = 1024;
} // namespace

CKLDRSetupDlg::CKLDRSetupDlg(HWND parent)
    : CDialog(IDD_KLDRSETUP_DIALOG, parent), m_hIcon(nullptr), m_bUninstall(FALSE) {
    m_hIcon = SystemApi().LoadIconA(AppInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CKLDRSetupDlg::~CKLDRSetupDlg() = default;

// clang-format off
BEGIN_MESSAGE_MAP(CKLDRSetupDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
END_MESSAGE_MAP()
// clang-format on

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

BOOL CKLDRSetupDlg::OnInitDialog() {
    CDialog::OnInitDialog(); // the status line becomes empty here

    HMENU systemMenu = SystemApi().GetSystemMenu(m_hWnd, FALSE);
    if (systemMenu) {
        std::string about = LoadCatalogueText(IDS_ABOUTBOX);
        if (!about.empty()) {
            SystemApi().AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            SystemApi().AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }

    SystemApi().SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SystemApi().SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    // ---- The installation sequence runs here (RunSetupSequence); it may end the dialog. ----

    return TRUE; // focus on the first control that takes it: OK
}

void CKLDRSetupDlg::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout(m_hWnd);
        dlgAbout.DoModal();
    } else {
        Default();
    }
}

void CKLDRSetupDlg::OnPaint() {
    if (!SystemApi().IsIconic(m_hWnd)) {
        Default();
        return;
    }
    PAINTSTRUCT paint;
    HDC dc = SystemApi().BeginPaint(m_hWnd, &paint);
    SystemApi().SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int cxIcon = SystemApi().GetSystemMetrics(SM_CXICON);
    int cyIcon = SystemApi().GetSystemMetrics(SM_CYICON);
    RECT rect{};
    SystemApi().GetClientRect(m_hWnd, &rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    SystemApi().DrawIcon(dc, x, y, m_hIcon);
    SystemApi().EndPaint(m_hWnd, &paint);
}

HCURSOR CKLDRSetupDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}
