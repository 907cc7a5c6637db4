// Identifiers shared by the dialog template and the program. Plain #defines,
// because the resource compiler reads this file as well as the C++ compiler.
#pragma once

#define IDC_PORT_LIST 3 // combo box listing the port paths
#define IDC_UPDATE 4    // the update button
#define IDC_STATUS 5    // the status line
#define ID_PROG_TIMER 6 // the timer that drives the sequencer
#define IDC_PROGRESS 7  // blocks written so far, as a bar
#define IDI_INSTALLER 1 // the program's icon
#define IDC_INSTRUCTIONS -1 // the instructions: a static text with no id of its own
