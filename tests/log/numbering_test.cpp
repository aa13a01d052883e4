// Table tests of the log file numbering: numbers read back from found names
// and the numbered tail written for a new file.
#include <gtest/gtest.h>

#include <string>

#include "log/numbering.h"

namespace {

struct ReadCase {
    const wchar_t* text;
    DWORD expected;
};

TEST(LogfileNumbering, ReadsNumberWithSpaceSignAndSaturation) {
    const ReadCase cases[] = {
        {L"00000001.log", 1},
        {L"00000123.log", 123},
        {L"123456789.log", 123456789},
        {L"4294967295.log", 4294967295u},
        {L"4294967296.log", 4294967295u},        // one beyond: saturates
        {L"99999999999999999999.log", 4294967295u},
        {L"-99999999999.log", 4294967295u},      // saturation wins over the sign
        {L".log", 0},                            // main.log
        {L"frame.log", 0},                       // mainframe.log
        {L"", 0},
        {L" 12.log", 12},                        // white space skipped
        {L"\t\n\v\f\r7.log", 7},
        {L"+5.log", 5},
        {L"-1.log", 4294967295u},                // negated modulo 2^32
        {L"-2.log", 4294967294u},
        {L"-0.log", 0},
        {L"+.log", 0},                           // sign without digits
        {L"--3.log", 0},
        {L"12ab34.log", 12},                     // digits end at the first other character
        {L"0x10.log", 0},
        {L" - 5.log", 0},                        // no space between sign and digits
        {L"\x0663.log", 0},                      // only ASCII digits count
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << testing::PrintToString(std::wstring(c.text)) << "\"");
        EXPECT_EQ(c.expected, LogfileReadNumber(c.text));
    }
    EXPECT_EQ(0u, LogfileReadNumber(nullptr));
}

struct NameCase {
    const wchar_t* foundName;
    const wchar_t* logName;
    DWORD expected;
};

TEST(LogfileNumbering, NumberOfFoundNameStartsAfterLogName) {
    const NameCase cases[] = {
        {L"main00000007.log", L"main", 7},
        {L"MAIN00000007.LOG", L"main", 7},       // matched without regard to case
        {L"main.log", L"main", 0},
        {L"mainframe.log", L"main", 0},
        {L"RotationThread00000123.log", L"RotationThread", 123},
        {L"main123456789.log", L"main", 123456789},
        {L"ma.log", L"main", 0},                 // shorter than the log name: never read past its end
        {L"m", L"main", 0},
        {L"00000004.log", L"", 4},               // empty log name
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(std::wstring(c.foundName)));
        EXPECT_EQ(c.expected, LogfileNumberOfName(c.foundName, (DWORD)wcslen(c.logName)));
    }
    EXPECT_EQ(0u, LogfileNumberOfName(nullptr, 4));
}

struct TailCase {
    DWORD number;
    const wchar_t* expected;
};

TEST(LogfileNumbering, FormatsAtLeastEightDigitsAndLogSuffix) {
    const TailCase cases[] = {
        {0, L"00000000.log"},
        {1, L"00000001.log"},
        {123, L"00000123.log"},
        {99999999, L"99999999.log"},
        {100000000, L"100000000.log"},
        {123456790, L"123456790.log"},
        {4294967295u, L"4294967295.log"},
    };
    for (const TailCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "number " << c.number);
        WCHAR buffer[LOGFILE_NUMBERED_TAIL_CHARS + 4];
        wmemset(buffer, L'#', LOGFILE_NUMBERED_TAIL_CHARS + 4);
        DWORD length = LogfileFormatNumberedTail(buffer, LOGFILE_NUMBERED_TAIL_CHARS, c.number);
        EXPECT_EQ(wcslen(c.expected), length);
        EXPECT_EQ(std::wstring(c.expected), std::wstring(buffer));
        EXPECT_EQ(L'#', buffer[LOGFILE_NUMBERED_TAIL_CHARS]);  // nothing beyond the room given
    }
}

TEST(LogfileNumbering, FormatWritesNothingWhenRoomIsShort) {
    struct RoomCase {
        DWORD number;
        DWORD room;
        DWORD expected;
    };
    const RoomCase cases[] = {
        {1, 13, 12},            // "00000001.log" and its terminator fit exactly
        {1, 12, 0},             // no room for the terminator
        {4294967295u, 15, 14},
        {4294967295u, 14, 0},
        {1, 0, 0},
    };
    for (const RoomCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "number " << c.number << " room " << c.room);
        WCHAR buffer[20];
        wmemset(buffer, L'#', 20);
        EXPECT_EQ(c.expected, LogfileFormatNumberedTail(buffer, c.room, c.number));
        if (c.expected == 0) {
            EXPECT_EQ(L'#', buffer[0]);
        } else {
            EXPECT_EQ(L'\0', buffer[c.expected]);
            EXPECT_EQ(L'#', buffer[c.expected + 1]);
        }
    }
    EXPECT_EQ(0u, LogfileFormatNumberedTail(nullptr, 20, 1));
}

}  // namespace
