// Identifiers shared by the resource script and the program.
#pragma once

#define IDD_PROGRESS 101       // the progress window's dialog template
#define IDC_IMAGE_LINE 1001    // names the image being written
#define IDC_WARNING_LINE 1002  // tells the operator not to switch off
