// Reading numbers out of found log names and writing the numbered tail of a new
// one, kept free of system calls so every rule is checked by table tests.
#include "log/numbering.h"

static bool IsNumberSpace(WCHAR c) {
    // The C library's wide white space of the "C" locale.
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

DWORD LogfileReadNumber(LPCWSTR text) {
    if (!text) return 0;
    while (IsNumberSpace(*text)) ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') {
        negative = (*text == L'-');
        ++text;
    }
    unsigned long long value = 0;
    bool saturated = false;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        if (saturated) continue;
        value = value * 10 + (unsigned long long)(*text - L'0');
        if (value > 0xFFFFFFFFull) saturated = true;
    }
    if (saturated) return LOGFILE_NUMBER_SATURATED;
    DWORD number = (DWORD)value;
    return negative ? (DWORD)(0u - number) : number;
}

DWORD LogfileNumberOfName(LPCWSTR foundName, DWORD nameLength) {
    if (!foundName) return 0;
    for (DWORD i = 0; i < nameLength; ++i) {
        if (foundName[i] == L'\0') return 0;
    }
    return LogfileReadNumber(foundName + nameLength);
}

DWORD LogfileFormatNumberedTail(LPWSTR dest, DWORD destChars, DWORD number) {
    WCHAR digits[10];
    DWORD count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    DWORD width = count < 8 ? 8 : count;
    static const WCHAR suffix[] = L".log";
    DWORD length = width + 4;
    if (!dest || destChars < length + 1) return 0;
    DWORD pos = 0;
    for (DWORD pad = count; pad < width; ++pad) dest[pos++] = L'0';
    while (count > 0) dest[pos++] = digits[--count];
    for (DWORD i = 0; i < 4; ++i) dest[pos++] = suffix[i];
    dest[pos] = L'\0';
    return length;
}
