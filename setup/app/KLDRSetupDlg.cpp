#include "app/KLDRSetupDlg.h"

#include "app/AboutDlg.h"
#include "app/Catalogue.h"
#include "app/SetupSequence.h"
#include "installers/SensorDrivers.h"
#include "platform/SystemApi.h"
#include "res/resource.h"

#include <climits>
#include <vector>

namespace {

// The control's whole text. The buffer grows until the text fits with two bytes to spare (a
// copy cut short may stop before a double-byte character, one byte early), and only the bytes
// the call says it copied are taken: on failure the buffer's content is not defined.
std::string ReadItemText(HWND dialog, int id) {
    for (int size = 256;; size *= 2) {
        std::vector<char> buffer(static_cast<size_t>(size));
        UINT copied = SystemApi().GetDlgItemTextA(dialog, id, buffer.data(), size);
        if (copied + 2 < static_cast<UINT>(size))
            return std::string(buffer.data(), copied);
        if (size > INT_MAX / 2) // no control holds a gigabyte of text
            return {};
    }
}

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
    ON_MESSAGE(WM_INSTALL_SENSORS, &CKLDRSetupDlg::OnInstallSensors)
END_MESSAGE_MAP()
// clang-format on

void CKLDRSetupDlg::DoDataExchange(CDataExchange* pDX) {
    if (pDX->m_bSaveAndValidate) {
        m_strStatus = ReadItemText(pDX->m_hWnd, IDC_STATUS);
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

    if (!RunSetupSequence(*this))
        EndDialog(IDOK);

    return TRUE; // focus on the first control that takes it: OK
}

void CKLDRSetupDlg::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & ~0xFu) == IDM_ABOUTBOX) { // 32 bits wide: only the low four are the system's
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

LRESULT CKLDRSetupDlg::OnInstallSensors(WPARAM, LPARAM) {
    HWND ok = SystemApi().GetDlgItem(m_hWnd, IDOK);
    SystemApi().EnableWindow(ok, FALSE);
    SystemApi().SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
    InstallSensorDrivers(*this);
    UpdateStatus(LoadCatalogueText(IDS_SETUP_FINISHED));
    SystemApi().EnableWindow(ok, TRUE);
    return 0;
}
