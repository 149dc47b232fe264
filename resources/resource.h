// Resource and control ids of the main dialog, shared by the dialog template
// and the program.
#pragma once

// The program's version: the dialog shows "ver" and the text; the version
// resource carries both the numbers and the text, which must agree.
#define QM_VERSION_MAJOR 1
#define QM_VERSION_MINOR 0
#define QM_VERSION_PATCH 0
#define QM_VERSION_TEXT "1.0.0"

// Static controls that are never addressed.
#define IDC_NONE 0xFFFF

// 1 and 2 are the platform's IDOK and IDCANCEL: the dialog's keyboard
// handling sends them for Return and Escape.
#define IDC_VERSION 101
#define IDC_DETECT_SHADOW 201
#define IDC_THRESHOLD_VALUE 202
#define IDC_THRESHOLD_TRACKBAR 203
#define IDC_PREVIEW 204
#define IDC_STATUS_ICON 301
#define IDC_STATUS_TEXT 302
