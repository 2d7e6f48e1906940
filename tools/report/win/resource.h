#pragma once
// Resource numbers of SeamlogReport.exe.
#define IDI_SEAMLOG_REPORT 1
#define IDD_REPORT 100
#define IDC_TABLES 101
#define IDC_ADD 102
#define IDC_REMOVE 103
#define IDC_JOB 104
#define IDC_OPERATOR 105
#define IDC_LOCATION 106
#define IDC_LIMIT 107
#define IDC_STATUS 108
