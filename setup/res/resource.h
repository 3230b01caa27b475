// Resource ids shared by Setup.rc and the code. Plain #defines: windres reads this file too.
#pragma once

#define IDR_MAINFRAME 1 // application icon
#define IDD_ABOUTBOX 100
#define IDD_KLDRSETUP_DIALOG 102

// Message catalogue (string table)
#define IDS_ABOUTBOX 101
#define IDS_OS_UNSUPPORTED 102
#define IDS_NOT_ADMINISTRATOR 103
#define IDS_NO_SUPPORTED_DISPLAY 104
#define IDS_ALREADY_INSTALLED 105
#define IDS_SETUP_ABORTED 106
#define IDS_SETUP_FINISHED 107
#define IDS_INSTALLING 108   // "%s" = INF base name
#define IDS_UNINSTALLING 109 // "%s" = INF base name

// The application title string a program may carry; this one does not, so its file name serves.
#define AFX_IDS_APP_TITLE 0xE000

#define IDC_STATUS 1000
#define IDM_ABOUTBOX 0x0010 // system-menu command; the low four bits are ignored

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
