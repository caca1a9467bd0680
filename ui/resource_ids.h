// Identifiers of the library's dialog templates, bitmap and controls. Shared by the .rc file
// (windres) and the dialog code.
#pragma once

#define IDD_DATASOURCE 101
#define IDD_CREDENTIALS 102
#define IDD_NODES 103
#define IDB_IMAGE_STRIP 104

// Data-source dialog (101). 3 and 6 are the command ids of "Add" and "Test connectivity...".
#define IDC_ADD_HOST 3
#define IDC_CREDENTIALS 4
#define IDC_TEST_CONNECTIVITY 6
#define IDC_SERVER_TREE 1001
#define IDC_OTHER_SERVER 1002
// Credentials dialog (102).
#define IDC_USER 1003
#define IDC_PASSWORD 1004
#define IDC_DOMAIN 1005
// Node dialog (103).
#define IDC_NODE_TREE 1006
