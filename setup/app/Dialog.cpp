#include "app/Dialog.h"

#include "platform/SystemApi.h"

namespace {

// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    return message == WM_INITDIALOG || message == WM_QUERYDRAGICON || message == WM_COMPAREITEM ||
           message == WM_VKEYTOITEM || message == WM_CHARTOITEM ||
           (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC);
}

} // namespace

CDialog::CDialog(UINT templateId, HWND parent) : m_nTemplateId(templateId), m_hWndParent(parent) {}

CDialog::~CDialog() = default;

const AFX_MSGMAP* CDialog::GetMessageMap() const {
    return GetThisMessageMap();
}

const AFX_MSGMAP* CDialog::GetThisMessageMap() {
    typedef CDialog ThisClass;
    static const AFX_MSGMAP_ENTRY entries[] = {// clang-format off
        ON_COMMAND(IDOK, &CDialog::OnOK)
        ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
                                               // clang-format on
                                               {0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    CDataExchange dx(m_hWnd, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

INT_PTR CDialog::DoModal() {
    INT_PTR result =
        SystemApi().DialogBoxParamA(AppInstance(), MAKEINTRESOURCEA(m_nTemplateId), m_hWndParent,
                                    &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return result;
}

void CDialog::EndDialog(int result) {
    SystemApi().EndDialog(m_hWnd, result);
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::Default() {
    if (m_pDefaultRequested)
        *m_pDefaultRequested = true;
}

bool CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    for (const AFX_MSGMAP* map = GetMessageMap(); map;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->pfn; ++entry) {
            if (entry->nMessage != message)
                continue;
            if (message == WM_COMMAND && entry->nID != LOWORD(wParam))
                continue;
            bool defaultRequested = false;
            bool* outer = m_pDefaultRequested;
            m_pDefaultRequested = &defaultRequested;
            *result = entry->pfn(this, wParam, lParam);
            m_pDefaultRequested = outer;
            return !defaultRequested;
        }
    }
    return false;
}

// A modal dialog without a centring style appears over its owner, as the framework places it,
// and stays inside the work area of the owner's monitor: with several monitors the primary
// screen's size says nothing about where the owner is.
void CDialog::CenterOverOwner() {
    RECT owner{}, self{};
    if (!m_hWndParent || !SystemApi().GetWindowRect(m_hWndParent, &owner) ||
        !SystemApi().GetWindowRect(m_hWnd, &self))
        return;
    int width = self.right - self.left, height = self.bottom - self.top;
    int x = owner.left + ((owner.right - owner.left) - width) / 2;
    int y = owner.top + ((owner.bottom - owner.top) - height) / 2;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    HMONITOR nearest = SystemApi().MonitorFromWindow(m_hWndParent, MONITOR_DEFAULTTONEAREST);
    if (nearest && SystemApi().GetMonitorInfoA(nearest, &monitor)) {
        const RECT& work = monitor.rcWork;
        // Right and bottom first, so that a box larger than the work area keeps its caption
        // and left edge visible.
        if (x + width > work.right)
            x = work.right - width;
        if (y + height > work.bottom)
            y = work.bottom - height;
        if (x < work.left)
            x = work.left;
        if (y < work.top)
            y = work.top;
    }
    SystemApi().SetWindowPos(m_hWnd, nullptr, x, y, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        // The object is known from here on, also to messages that OnInitDialog itself pumps.
        CDialog* self = reinterpret_cast<CDialog*>(lParam);
        SystemApi().SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        self->m_hWnd = hWnd;
        self->CenterOverOwner();
        return self->OnInitDialog();
    }
    // Messages before WM_INITDIALOG (WM_SETFONT) find no object and get default processing.
    CDialog* self = reinterpret_cast<CDialog*>(SystemApi().GetWindowLongPtrA(hWnd, DWLP_USER));
    if (!self)
        return FALSE;
    LRESULT result = 0;
    if (!self->OnWndMsg(message, wParam, lParam, &result))
        return FALSE;
    if (ReturnsResultDirectly(message))
        return result;
    SystemApi().SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}
