// The control file and call record formats: what the tests write must be what
// the stand-ins read, and a damaged line must never pass for a different setting.
#include "tests/fake_sensor/fake_config.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace fakesensor {
namespace {

void ExpectSameInterface(const InterfaceConfig& a, const InterfaceConfig& b) {
    EXPECT_EQ(a.pipe, b.pipe);
    EXPECT_EQ(a.vendorId, b.vendorId);
    EXPECT_EQ(a.productId, b.productId);
    EXPECT_EQ(a.versionNumber, b.versionNumber);
    EXPECT_EQ(a.present, b.present);
    EXPECT_EQ(a.pathCase, b.pathCase);
    EXPECT_EQ(a.attributesOk, b.attributesOk);
    EXPECT_EQ(a.preparsedOk, b.preparsedOk);
    EXPECT_EQ(a.capsStatus, b.capsStatus);
    EXPECT_EQ(a.usagePage, b.usagePage);
    EXPECT_EQ(a.usage, b.usage);
    EXPECT_EQ(a.inputReportLength, b.inputReportLength);
    EXPECT_EQ(a.outputReportLength, b.outputReportLength);
    EXPECT_EQ(a.featureReportLength, b.featureReportLength);
    EXPECT_EQ(a.flushOk, b.flushOk);
    EXPECT_EQ(a.setFeatureOk, b.setFeatureOk);
}

InterfaceConfig EveryFieldChanged() {
    InterfaceConfig c;
    c.pipe = L"VID_045E&PID_0001mi_01&col01#X";
    c.vendorId = 0x045E;
    c.productId = 0x0001;
    c.versionNumber = 0xFFFF;
    c.present = false;
    c.pathCase = kPathUpper;
    c.attributesOk = false;
    c.preparsedOk = false;
    c.capsStatus = 0xC0110001;
    c.usagePage = 0xFF00;
    c.usage = 0x0001;
    c.inputReportLength = 65535;
    c.outputReportLength = 3;
    c.featureReportLength = 0;
    c.flushOk = false;
    c.setFeatureOk = false;
    return c;
}

TEST(FakeControlFile, FormatThenParseGivesTheSameConfiguration) {
    ControlConfig defaults;
    defaults.interfaces.resize(1);
    defaults.interfaces[0].pipe = L"a";

    ControlConfig full;
    full.eventName = L"Local\\velatrix-fake-sensor-12-3";
    full.generationName = L"Local\\velatrix-fake-sensor-12-3-generation";
    full.classDevsError = 5;
    full.enumError = 4294967295u;
    full.detailError = 1784;
    full.interfaces.push_back(EveryFieldChanged());
    full.interfaces.push_back(defaults.interfaces[0]);
    full.interfaces.back().pathCase = kPathLower;

    struct Row {
        const char* name;
        ControlConfig config;
    } rows[] = {{"empty", ControlConfig()}, {"defaults", defaults}, {"every field changed", full}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ControlConfig parsed;
        parsed.classDevsError = 99;  // must be reset by the parse
        ASSERT_TRUE(ParseControlConfig(FormatControlConfig(row.config), &parsed));
        EXPECT_EQ(parsed.eventName, row.config.eventName);
        EXPECT_EQ(parsed.generationName, row.config.generationName);
        EXPECT_EQ(parsed.classDevsError, row.config.classDevsError);
        EXPECT_EQ(parsed.enumError, row.config.enumError);
        EXPECT_EQ(parsed.detailError, row.config.detailError);
        ASSERT_EQ(parsed.interfaces.size(), row.config.interfaces.size());
        for (size_t i = 0; i < parsed.interfaces.size(); ++i) ExpectSameInterface(parsed.interfaces[i], row.config.interfaces[i]);
    }
}

TEST(FakeControlFile, HandWrittenLinesKeepDefaultsForMissingKeys) {
    ControlConfig parsed;
    ASSERT_TRUE(ParseControlConfig("# comment\n\n  interface first   vid=1234\r\ninterface second present=0 input=2\n"
                                   "switch enum 259",
                                   &parsed));
    ASSERT_EQ(parsed.interfaces.size(), 2u);
    InterfaceConfig expected;
    expected.pipe = L"first";
    expected.vendorId = 0x1234;
    ExpectSameInterface(parsed.interfaces[0], expected);
    expected = InterfaceConfig();
    expected.pipe = L"second";
    expected.present = false;
    expected.inputReportLength = 2;
    ExpectSameInterface(parsed.interfaces[1], expected);
    EXPECT_EQ(parsed.enumError, 259u);
    EXPECT_TRUE(parsed.eventName.empty());
}

TEST(FakeControlFile, RejectsLinesItDoesNotUnderstand) {
    const char* rows[] = {
        "interface",                   // no pipe
        "interface a present=2",       // flag out of range
        "interface a present=",        // empty value
        "interface a vid=10000",       // more than 16 bits
        "interface a vid=12g4",        // not hex
        "interface a input=65536",     // more than 16 bits
        "interface a input=-1",        // signed
        "interface a input=0x10",      // lengths are decimal
        "interface a case=mixed",      // unknown spelling
        "interface a colour=blue",     // unknown key
        "interface a vid",             // no '='
        "switch classdevs",            // no value
        "switch walk 5",               // unknown switch
        "switch enum five",            // not a number
        "event",                       // no name
        "generation a b",              // one name only
        "device a",                    // unknown directive
    };
    for (const char* row : rows) {
        SCOPED_TRACE(row);
        ControlConfig parsed;
        EXPECT_FALSE(ParseControlConfig(std::string("interface ok\n") + row + "\n", &parsed));
    }
}

TEST(FakeControlFile, PathsAndHandleNamesMatchWithoutRegardToCase) {
    ControlConfig config;
    config.interfaces.resize(3);
    config.interfaces[0].pipe = L"Sensor&MI_00";
    config.interfaces[1].pipe = L"sensor&mi_00x";
    config.interfaces[2].pipe = L"sensor&mi_00";  // same as [0] but for case: never reached

    config.interfaces[0].pathCase = kPathAsIs;
    EXPECT_EQ(InterfacePath(config.interfaces[0]), L"\\\\.\\pipe\\Sensor&MI_00");
    config.interfaces[0].pathCase = kPathUpper;
    EXPECT_EQ(InterfacePath(config.interfaces[0]), L"\\\\.\\pipe\\SENSOR&MI_00");
    config.interfaces[0].pathCase = kPathLower;
    EXPECT_EQ(InterfacePath(config.interfaces[0]), L"\\\\.\\pipe\\sensor&mi_00");

    struct Row {
        const wchar_t* fileName;
        int index;
    } rows[] = {
        {L"\\Sensor&MI_00", 0},  {L"\\SENSOR&mi_00", 0}, {L"\\sensor&mi_00X", 1},
        {L"\\sensor&mi_0", -1},  {L"Sensor&MI_00", -1},  {L"\\", -1},
        {L"", -1},               {L"\\\\.\\pipe\\Sensor&MI_00", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "file name " << std::string(row.fileName, row.fileName + wcslen(row.fileName)));
        EXPECT_EQ(FindInterfaceByFileName(config, row.fileName), row.index);
    }
}

TEST(FakeCallRecord, LinesRoundTripAndAnUnfinishedLineWaits) {
    CallRecord feature;
    feature.qpc = 18446744073709551615ull;
    feature.call = kCallFeature;
    feature.result = 1;
    feature.pipe = L"vx0000002a-000001mi_00&col02#s";
    feature.data = {0x01, 0x02, 0x11, 0x03, 0x00, 0x00, 0x00, 0xFF};
    CallRecord caps;
    caps.qpc = 7;
    caps.call = kCallCaps;
    caps.result = 0xC0110001;
    caps.pipe = L"p";
    CallRecord walk;
    walk.call = kCallClassDevs;
    walk.result = 0;
    walk.pipe = L"-";

    std::string text = FormatCallRecord(feature) + "garbage line\r\n" + FormatCallRecord(caps) +
                       FormatCallRecord(walk);
    std::string unfinished = FormatCallRecord(feature);
    unfinished.resize(unfinished.size() - 2);  // a line the stand-in is still writing

    size_t consumed = 0;
    std::vector<CallRecord> records = ParseCallRecords(text + unfinished, &consumed);
    EXPECT_EQ(consumed, text.size());
    ASSERT_EQ(records.size(), 3u);
    const CallRecord* expected[] = {&feature, &caps, &walk};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i]->call);
        EXPECT_EQ(records[i].qpc, expected[i]->qpc);
        EXPECT_EQ(records[i].call, expected[i]->call);
        EXPECT_EQ(records[i].result, expected[i]->result);
        EXPECT_EQ(records[i].pipe, expected[i]->pipe);
        EXPECT_EQ(records[i].data, expected[i]->data);
    }
}

}  // namespace
}  // namespace fakesensor
