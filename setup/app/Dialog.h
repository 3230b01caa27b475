// A small modal-dialog base on the Win32 dialog API, shaped after the dialog framework the
// product was designed on: a template id, OnInitDialog, DoDataExchange/UpdateData, OK/Cancel
// handling and a static message map per class.
//
// A derived class declares DECLARE_MESSAGE_MAP() and defines its map in its .cpp:
//
//     BEGIN_MESSAGE_MAP(CMyDlg, CDialog)
//         ON_WM_PAINT()
//         ON_MESSAGE(WM_MY_MESSAGE, &CMyDlg::OnMyMessage)   // LRESULT OnMyMessage(WPARAM, LPARAM)
//     END_MESSAGE_MAP()
//
// Messages no map handles, and handlers that call Default(), get the platform's default dialog
// processing.
#pragma once

#include <windows.h>

class CDialog;

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nID; // command id for WM_COMMAND entries, else 0
    LRESULT (*pfn)(CDialog* self, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries; // ends with an entry whose pfn is null
};

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
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    // Exchanges control texts with members through DoDataExchange.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    // Runs the dialog modally; returns the code given to EndDialog, or -1 when it cannot be shown.
    virtual INT_PTR DoModal();
    void EndDialog(int result);

    // The window procedure of every CDialog: finds the object (stored in the window on
    // WM_INITDIALOG) and dispatches through its message map.
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    virtual const AFX_MSGMAP* GetMessageMap() const;
    static const AFX_MSGMAP* GetThisMessageMap();

    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual void OnOK();
    virtual void OnCancel();

    // Called by a handler that wants the platform's default processing of its message.
    void Default();

    UINT m_nTemplateId;
    HWND m_hWndParent;
    HWND m_hWnd = nullptr;

private:
    // Looks the message up in the map chain; false when no entry handles it.
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    void CenterOverOwner();

    bool* m_pDefaultRequested = nullptr; // of the innermost dispatch; handlers may re-enter
};

#define DECLARE_MESSAGE_MAP()                                                                      \
protected:                                                                                         \
    static const AFX_MSGMAP* GetThisMessageMap();                                                  \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const {                                            \
        return GetThisMessageMap();                                                                \
    }                                                                                              \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                              \
        using ThisClass [[maybe_unused]] = theClass;                                               \
        typedef baseClass TheBaseClass;                                                            \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                          \
    { 0, 0, nullptr }                                                                              \
    }                                                                                              \
    ;                                                                                              \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]};  \
    return &messageMap;                                                                            \
    }

// Handlers: void OnSysCommand(UINT nID, LPARAM lParam), void OnPaint(),
// HCURSOR OnQueryDragIcon(), LRESULT OnXxx(WPARAM, LPARAM), void OnXxx() for commands.
#define ON_WM_SYSCOMMAND()                                                                         \
    {WM_SYSCOMMAND, 0, [](CDialog* d, WPARAM w, LPARAM l) -> LRESULT {                             \
         static_cast<ThisClass*>(d)->OnSysCommand(static_cast<UINT>(w), l);                        \
         return 0;                                                                                 \
     }},
#define ON_WM_PAINT()                                                                              \
    {WM_PAINT, 0, [](CDialog* d, WPARAM, LPARAM) -> LRESULT {                                      \
         static_cast<ThisClass*>(d)->OnPaint();                                                    \
         return 0;                                                                                 \
     }},
#define ON_WM_QUERYDRAGICON()                                                                      \
    {WM_QUERYDRAGICON, 0, [](CDialog* d, WPARAM, LPARAM) -> LRESULT {                              \
         return reinterpret_cast<LRESULT>(static_cast<ThisClass*>(d)->OnQueryDragIcon());          \
     }},
#define ON_MESSAGE(message, memberFxn)                                                             \
    {message, 0, [](CDialog* d, WPARAM w, LPARAM l) -> LRESULT {                                   \
         return (static_cast<ThisClass*>(d)->*(memberFxn))(w, l);                                  \
     }},
#define ON_COMMAND(id, memberFxn)                                                                  \
    {WM_COMMAND, id, [](CDialog* d, WPARAM, LPARAM) -> LRESULT {                                   \
         (static_cast<ThisClass*>(d)->*(memberFxn))();                                             \
         return 0;                                                                                 \
     }},
