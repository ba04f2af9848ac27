// Identifiers of the dialogs, controls, icon, menu command and string table entries. Plain macros,
// because a resource compiler reads this file as well as the C++ compiler.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_UPDATER_DIALOG 102
#define IDP_SOCKETS_INIT_FAILED 103
#define IDR_MAINFRAME 128

#define IDC_MAIN_PROGRESS 1000
#define IDC_TASK_PROGRESS 1001
#define IDC_TASK_EDIT 1003
#define IDC_START_GAME 1004
#define IDC_QUIT 1005

// The about command sits in the system menu, whose own commands all have the low four bits clear.
#define IDM_ABOUTBOX 0x0010
