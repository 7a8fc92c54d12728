// Resource identifiers of the Windows program, shared by all .rc files and
// the code. One block per template; keep the numbers unique.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Port setup panel, template 132.
#define IDD_PORTSETUP 132
#define IDC_COM1 1006
#define IDC_COM2 1007
#define IDC_SPEED 1009
#define IDC_COM3 1014
#define IDC_COM4 1015

// Application: icon, About box (template 100), main dialog (template 102).
#define IDR_MAINFRAME 128
#define IDB_ABOUT 136
#define IDS_ABOUTBOX 101
#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDD_ZURIVAVAVE_DIALOG 102
#define IDC_DOWNLOAD 1000
#define IDC_STATUS 1001
#define IDC_FIND 1003
#define IDC_PROGRESS 1004
#define IDC_FILENAME 1005
#define IDC_STOP_EXIT 1010
#define IDC_PORT_SETUP 1011
