/* Resource ids shared by the resource script and the program. */
#pragma once

#define IDD_PROGRESS 101
#define IDI_PATCH 103
#define IDC_STATUS 1000
#define IDC_SECOND_TEXT 1001
