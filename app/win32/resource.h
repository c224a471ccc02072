// SPDX-License-Identifier: Apache-2.0
// Resource identifiers of zelvar.exe, shared by the resource script and the
// shell's code.
#pragma once

#define IDS_APP_TITLE 1
#define IDS_APP_CLASS 2
#define IDR_ACCELERATORS 2
#define IDI_ZELVAR 101
#define IDR_MENU 102
#define IDS_START 103
#define IDS_CANCEL 104
#define IDD_ABOUTBOX 105
#define IDD_ABOUTBOX_WIDE 106
#define IDD_PROGRESS 107
#define IDR_FIRMWARE 137

#define IDC_ABOUT_ICON 201
#define IDC_STATIC_TITLE 202
#define IDC_ABOUT_LINE2 203
#define IDC_STATUS_LINE 204
#define IDC_PROGRESS 1000

#define IDM_EXIT 40000
#define IDM_CANCEL 40001
#define IDM_HELP_ABOUT 40002

// The handheld's own values, which the desktop headers lack. The caption's
// OK button is a handheld style; desktop Windows gives the same bit another
// meaning, so the desktop build leaves it out (the dialog gets a close box).
#ifdef UNDER_CE
#define WS_EX_CAPTIONOKBTN 0x80000000L
#else
#define WS_EX_CAPTIONOKBTN 0
#endif
#define I_IMAGENONE (-2)
#define NOMENU 0xFFFF
