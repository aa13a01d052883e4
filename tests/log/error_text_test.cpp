// GetSystemErrorText against the system's own message table: its text without
// the trailing line end, the language fallback, and the constant fallback text.
#include <gtest/gtest.h>

#include <string>

#include "log/logfile.h"

namespace {

// What FormatMessageW itself says for `code`, or false when it has nothing.
bool SystemMessage(DWORD code, WORD language, std::wstring* text) {
    LPWSTR buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, language, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0) return false;
    text->assign(buffer, length);
    LocalFree(buffer);
    return true;
}

TEST(ErrorText, KnownCodesGiveSystemTextWithoutLineEnd) {
    const WORD threadLanguage = LANGIDFROMLCID(GetThreadLocale());
    struct Row {
        const char* trace;
        DWORD code;
        WORD language;
    };
    const Row rows[] = {
        {"access denied, thread language", ERROR_ACCESS_DENIED, threadLanguage},
        {"file not found, neutral language", ERROR_FILE_NOT_FOUND, 0},
        {"not enough memory, thread language", ERROR_NOT_ENOUGH_MEMORY, threadLanguage},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        std::wstring expected;
        ASSERT_TRUE(SystemMessage(row.code, row.language, &expected));
        if (expected.size() >= 2 && expected.compare(expected.size() - 2, 2, L"\r\n") == 0) {
            expected.resize(expected.size() - 2);
        }
        LPWSTR text = GetSystemErrorText(row.code, row.language);
        ASSERT_NE(text, nullptr);
        ASSERT_NE(text, LOGFILE_NO_ERROR_TEXT);
        EXPECT_EQ(std::wstring(text), expected);
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(LocalFree(text), nullptr);  // the system's buffer, released by the caller
    }
}

TEST(ErrorText, LanguageWithoutTextFallsBackToSystemOrder) {
    // A language no message table carries: the first request fails, the
    // second (language 0) finds the text.
    const WORD language = MAKELANGID(LANG_INUKTITUT, SUBLANG_DEFAULT);
    std::wstring direct;
    if (SystemMessage(ERROR_ACCESS_DENIED, language, &direct)) {
        GTEST_SKIP() << "this system has text in that language";
    }
    std::wstring neutral;
    ASSERT_TRUE(SystemMessage(ERROR_ACCESS_DENIED, 0, &neutral));
    LPWSTR text = GetSystemErrorText(ERROR_ACCESS_DENIED, language);
    ASSERT_NE(text, LOGFILE_NO_ERROR_TEXT);
    EXPECT_EQ(std::wstring(text) + L"\r\n", neutral);
    LocalFree(text);
}

TEST(ErrorText, CodeWithoutTextGivesConstantFallback) {
    const DWORD codes[] = {0x2000BEEF, 0xE0001234};
    for (DWORD code : codes) {
        SCOPED_TRACE(code);
        LPWSTR text = GetSystemErrorText(code, LANGIDFROMLCID(GetThreadLocale()));
        ASSERT_EQ(text, LOGFILE_NO_ERROR_TEXT);  // the constant itself, never to be freed
        EXPECT_STREQ(text, L"Failed to retrieve error string\r\n");
    }
}

}  // namespace
