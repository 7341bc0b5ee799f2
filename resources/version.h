// The program's version data, shared by the Windows version resource and the
// version data embedded in the Linux executable. Plain macros: windres reads it.
#pragma once

#define PELWIN_VERSION_BINARY 3, 0, 0, 0
#define PELWIN_VERSION_TEXT "3.0.0.0"
#define PELWIN_VERSION_LANGUAGE 0x0409
#define PELWIN_VERSION_CODEPAGE 0x04E4
#define PELWIN_VERSION_BLOCK "040904e4"
#define PELWIN_COMPANY_NAME "Varnosti Instruments"
#define PELWIN_FILE_DESCRIPTION "Selvo Camera Filter Wheel Contiguration Tool"
#define PELWIN_INTERNAL_NAME "pelwin"
#define PELWIN_LEGAL_COPYRIGHT "Copyright (C) 2026 Varnosti Instruments"
#define PELWIN_ORIGINAL_FILENAME "pelwin.exe"
#define PELWIN_PRODUCT_NAME "Corvane filter wheel configuration"
#define PELWIN_CODE_STYLE "Ansi"
