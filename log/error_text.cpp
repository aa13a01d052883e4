// The system's text for an error code, as error lines print it; a constant
// fallback keeps the caller free of a null check.
#include "log/logfile.h"

#include "log/line_layout.h"

const WCHAR LOGFILE_NO_ERROR_TEXT[] = L"Failed to retrieve error string\r\n";

static DWORD AskSystem(DWORD code, DWORD languageId, LPWSTR* text) {
    *text = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  NULL, code, languageId, reinterpret_cast<LPWSTR>(text), 0, NULL);
    if (length == 0 && *text != NULL) {
        LocalFree(*text);
        *text = NULL;
    }
    return length;
}

LPWSTR GetSystemErrorText(DWORD code, WORD languageId) {
    LPWSTR text = NULL;
    // Language 0 lets the system fall back through its own languages.
    if (AskSystem(code, languageId, &text) == 0 && AskSystem(code, 0, &text) == 0) {
        return const_cast<LPWSTR>(LOGFILE_NO_ERROR_TEXT);
    }
    LogfileTrimLineEnd(text);
    return text;
}
