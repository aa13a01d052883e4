// Text formats shared by the stand-in hid.dll / setupapi.dll and the test-side
// control library: the control file the tests write and the call record the stand-ins append.
#pragma once

// Control file "fake_sensor.cfg", beside the stand-in DLLs, read afresh by
// every interface walk (SetupDiGetClassDevsW) and by the HID calls whenever
// its generation counter has moved. ASCII lines:
//
//   # comment                       (blank lines and '#' lines are skipped)
//   event <name>                    named event set after every record line
//   generation <name>               named file mapping whose first LONG the
//                                   writer increments after each new file
//   switch classdevs <error>        SetupDiGetClassDevsW(HID class) fails with this error
//   switch enum <error>             SetupDiEnumDeviceInterfaces fails with this error
//   switch detail <error>           the detail query with a buffer fails with this error
//   interface <pipe> key=value ...  one HID interface, in enumeration order
//
// Errors are decimal, 0 meaning "works". Interface keys (all optional, the
// defaults are those of InterfaceConfig):
//   vid pid version                       HIDD_ATTRIBUTES, 4 hex digits
//   present=0|1                           listed when DIGCF_PRESENT is asked for;
//                                         HidD_ calls on an absent interface fail
//   case=asis|upper|lower                 spelling of the pipe name in the listed path
//   attributes preparsed flush setfeature =0|1   the call succeeds (1) or is refused (0)
//   caps=<8 hex digits>                   NTSTATUS returned by HidP_GetCaps
//   usagepage usage                       HIDP_CAPS, 4 hex digits
//   input output feature                  report byte lengths of HIDP_CAPS, decimal
//
// A refused call fails with ERROR_GEN_FAILURE; a call on an absent interface,
// or on a handle whose pipe the test has closed, with ERROR_DEVICE_NOT_CONNECTED.
//
// The interface path is "\\.\pipe\" + pipe name; the pipe (served by the test)
// is the device. A handle is matched to its interface by the pipe name that
// GetFileInformationByHandleEx(FileNameInfo) gives, without regard to case.
//
// Call record "fake_sensor.rec", beside the control file, one line per
// simulated call:
//   <qpc> <call> <result hex> <pipe or -> <data hex or ->
// qpc is QueryPerformanceCounter at the call's entry (one clock for all
// processes); result is 1/0 for BOOL calls and the NTSTATUS for "caps"; data
// holds the feature report bytes. "classdevs" (a HID interface walk begins)
// and "destroy" (its set is released) carry "-" for the pipe.

#include <windows.h>

#include <string>
#include <vector>

namespace fakesensor {

constexpr wchar_t kControlFileName[] = L"fake_sensor.cfg";
constexpr wchar_t kRecordFileName[] = L"fake_sensor.rec";
constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";
constexpr DWORD kHidpStatusSuccess = 0x00110000;

// Names of the recorded calls.
constexpr char kCallAttributes[] = "attributes";
constexpr char kCallPreparsed[] = "preparsed";
constexpr char kCallCaps[] = "caps";
constexpr char kCallFree[] = "free";
constexpr char kCallFlush[] = "flush";
constexpr char kCallFeature[] = "feature";
constexpr char kCallClassDevs[] = "classdevs";
constexpr char kCallDestroy[] = "destroy";

enum PathCase { kPathAsIs, kPathUpper, kPathLower };

struct InterfaceConfig {
    std::wstring pipe;  // name after "\\.\pipe\": printable ASCII, no spaces
    WORD vendorId = 0x1770;
    WORD productId = 0xFF00;
    WORD versionNumber = 0x0100;
    bool present = true;
    PathCase pathCase = kPathAsIs;
    bool attributesOk = true;
    bool preparsedOk = true;
    DWORD capsStatus = kHidpStatusSuccess;
    USHORT usagePage = 0x0020;
    USHORT usage = 0x008A;
    USHORT inputReportLength = 8;
    USHORT outputReportLength = 0;
    USHORT featureReportLength = 8;
    bool flushOk = true;
    bool setFeatureOk = true;
};

struct ControlConfig {
    std::vector<InterfaceConfig> interfaces;  // in enumeration order
    DWORD classDevsError = 0;
    DWORD enumError = 0;
    DWORD detailError = 0;
    std::wstring eventName;       // empty: no event
    std::wstring generationName;  // empty: the HID calls read the file every time
};

std::string FormatControlConfig(const ControlConfig& config);
// False (with *config holding the lines before the bad one) for a line it does not know.
bool ParseControlConfig(const std::string& text, ControlConfig* config);

// "\\.\pipe\" + the pipe name spelt as the interface's case asks.
std::wstring InterfacePath(const InterfaceConfig& interfaceConfig);
// Index of the interface that a FileNameInfo name ("\<pipe>") names, or -1.
int FindInterfaceByFileName(const ControlConfig& config, const std::wstring& fileName);

struct CallRecord {
    ULONGLONG qpc = 0;
    std::string call;
    DWORD result = 0;
    std::wstring pipe;
    std::vector<BYTE> data;
};

// One record line, ending in "\r\n".
std::string FormatCallRecord(const CallRecord& record);
// Records of the complete lines of `text`; `*consumed` gets the length of
// those lines, so a reader can continue after them once more is appended.
std::vector<CallRecord> ParseCallRecords(const std::string& text, size_t* consumed = nullptr);

// Where a reader of a growing call record stands: bytes read so far and an
// incomplete last line kept for the next read.
struct CallRecordReader {
    ULONGLONG offset = 0;
    std::string pending;
};
// Appends to *records the complete lines the file `path` has gained since the
// last call; a file that cannot be opened yet adds nothing.
void ReadNewCallRecords(const std::wstring& path, CallRecordReader* reader, std::vector<CallRecord>* records);

}  // namespace fakesensor
