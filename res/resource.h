// Resource identifiers shared by the resource script and the program.
#pragma once

#define IDI_VELATRIX        107
#define IDI_SMALL           108
#define IDC_VELATRIX        109
