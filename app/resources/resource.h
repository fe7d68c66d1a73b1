// Resource ids of the patch installer, shared by the resource script and the code.
#pragma once

#define IDC_STATIC (-1)

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_PATCH_DIALOG 102
#define IDR_MAINFRAME 128
#define IDR_PATCHDATA 130
// Beside the patch data, also of the type name "RT_RCDATA": the digest that
// `ekisa installer` records of it ("SHA-256" and a zero byte, then the 32
// bytes of the SHA-256 of resource 130's bytes), and the mark by which the
// tool knows a stub or patch installer of this kit.
#define IDR_PATCHDIGEST 131
#define IDR_KITMARK 132
// The digest's record: this tag and its zero byte (8 bytes), then the 32 bytes.
#define PATCH_DIGEST_TAG "SHA-256"
#define PATCH_DIGEST_RECORD_SIZE 40
#define IDD_PROGRESS 131

// Main dialog
#define IDC_CHECK_EXE 1001
#define IDC_CHECK_SCRIPT 1002
// Progress dialog
#define IDC_PROGRESS 1002
#define IDC_STATUS 1003

// System menu command that opens the about box.
#define IDM_ABOUTBOX 0x0010
