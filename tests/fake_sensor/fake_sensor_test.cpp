// The simulated sensor seen from the program's side: the stand-in DLLs walked
// exactly as the program walks the real ones, against pipes the control library serves.
#include "tests/fake_sensor/fake_sensor_control.h"

#include "sensor/hid_api.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace fakesensor {
namespace {

constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The stand-ins, loaded by path from a bench folder, as the program's imports.
struct StandIns {
    HMODULE hid = nullptr;
    HMODULE setupapi = nullptr;
    decltype(&HidD_GetHidGuid) getHidGuid = nullptr;
    decltype(&HidD_GetAttributes) getAttributes = nullptr;
    decltype(&HidD_GetPreparsedData) getPreparsedData = nullptr;
    decltype(&HidD_FreePreparsedData) freePreparsedData = nullptr;
    decltype(&HidP_GetCaps) getCaps = nullptr;
    decltype(&HidD_FlushQueue) flushQueue = nullptr;
    decltype(&HidD_SetFeature) setFeature = nullptr;
    decltype(&SetupDiGetClassDevsW) getClassDevs = nullptr;
    decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces = nullptr;
    decltype(&SetupDiGetDeviceInterfaceDetailW) getDetail = nullptr;
    decltype(&SetupDiDestroyDeviceInfoList) destroy = nullptr;
};

template <typename Fn>
void Bind(HMODULE module, const char* name, Fn* fn) {
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::wstring ModulePath(HMODULE module) {
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring Hex(const std::vector<BYTE>& bytes) {
    std::wstring text;
    for (BYTE b : bytes) {
        WCHAR two[3];
        wsprintfW(two, L"%02x", b);
        text += two;
    }
    return text;
}

std::vector<BYTE> OrientationReport(size_t length, BYTE orientation, BYTE tag = 0) {
    std::vector<BYTE> report(length, 0);
    report[0] = kInputReportId;
    report[1] = orientation;
    if (length > 2) report[2] = tag;
    return report;
}

class FakeSensorTest : public testing::Test {
protected:
    void SetUp() override {
        bench_ = CreateBench();
        ASSERT_TRUE(bench_) << "no bench; stand-ins expected in " << testsupport::Narrow(StandInDir());
        std::wstring folder = BenchFolder(bench_.get());
        api_.hid = LoadLibraryW((folder + L"hid.dll").c_str());
        api_.setupapi = LoadLibraryW((folder + L"setupapi.dll").c_str());
        ASSERT_TRUE(api_.hid && api_.setupapi);
        // With WINEDLLOVERRIDES missing Wine would hand out its own DLLs here.
        ASSERT_EQ(_wcsicmp(ModulePath(api_.hid).c_str(), (folder + L"hid.dll").c_str()), 0)
            << testsupport::Narrow(ModulePath(api_.hid));
        ASSERT_EQ(_wcsicmp(ModulePath(api_.setupapi).c_str(), (folder + L"setupapi.dll").c_str()), 0);
        Bind(api_.hid, "HidD_GetHidGuid", &api_.getHidGuid);
        Bind(api_.hid, "HidD_GetAttributes", &api_.getAttributes);
        Bind(api_.hid, "HidD_GetPreparsedData", &api_.getPreparsedData);
        Bind(api_.hid, "HidD_FreePreparsedData", &api_.freePreparsedData);
        Bind(api_.hid, "HidP_GetCaps", &api_.getCaps);
        Bind(api_.hid, "HidD_FlushQueue", &api_.flushQueue);
        Bind(api_.hid, "HidD_SetFeature", &api_.setFeature);
        Bind(api_.setupapi, "SetupDiGetClassDevsW", &api_.getClassDevs);
        Bind(api_.setupapi, "SetupDiEnumDeviceInterfaces", &api_.enumInterfaces);
        Bind(api_.setupapi, "SetupDiGetDeviceInterfaceDetailW", &api_.getDetail);
        Bind(api_.setupapi, "SetupDiDestroyDeviceInfoList", &api_.destroy);
        ASSERT_TRUE(api_.getHidGuid && api_.getAttributes && api_.getPreparsedData && api_.freePreparsedData &&
                    api_.getCaps && api_.flushQueue && api_.setFeature && api_.getClassDevs &&
                    api_.enumInterfaces && api_.getDetail && api_.destroy);
    }

    void TearDown() override {
        if (api_.hid) FreeLibrary(api_.hid);
        if (api_.setupapi) FreeLibrary(api_.setupapi);
        bench_.reset();
    }

    int Add(const InterfaceConfig& config, ServeMode mode = kServeFull) {
        int index = AddInterface(bench_.get(), config, mode);
        EXPECT_GE(index, 0);
        return index;
    }

    // The walk of the program: class query, enumeration, size query, detail.
    // *error gets the error that ended it (ERROR_NO_MORE_ITEMS after the last).
    std::vector<std::wstring> ListPaths(DWORD flags, DWORD* error) {
        std::vector<std::wstring> paths;
        GUID guid;
        api_.getHidGuid(&guid);
        HDEVINFO set = api_.getClassDevs(&guid, nullptr, nullptr, flags);
        if (set == INVALID_HANDLE_VALUE) {
            *error = GetLastError();
            return paths;
        }
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        for (DWORD index = 0;; ++index) {
            if (!api_.enumInterfaces(set, nullptr, &guid, index, &data)) {
                *error = GetLastError();
                break;
            }
            DWORD size = 0;
            SetLastError(0xDEADBEEF);
            EXPECT_FALSE(api_.getDetail(set, &data, nullptr, 0, &size, nullptr));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            std::vector<BYTE> block(size);
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block.data());
            detail->cbSize = sizeof *detail;
            if (!api_.getDetail(set, &data, detail, size, nullptr, nullptr)) {
                *error = GetLastError();
                break;
            }
            paths.push_back(detail->DevicePath);
            EXPECT_EQ(size, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                (paths.back().size() + 1) * sizeof(WCHAR));
        }
        EXPECT_TRUE(api_.destroy(set));
        return paths;
    }

    std::vector<std::wstring> ListPresent() {
        DWORD error = 0;
        std::vector<std::wstring> paths = ListPaths(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, &error);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return paths;
    }

    std::wstring PathOf(int index) { return InterfacePath(InterfaceSettings(bench_.get(), index)); }

    BenchPtr bench_;
    StandIns api_;
};

HANDLE OpenQuery(const std::wstring& path) {
    return CreateFileW(path.c_str(), 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE OpenReader(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

HANDLE Duplicate(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// One overlapped read of the program's kind, kept alive until it has ended.
struct PendingRead {
    OVERLAPPED io = {};
    BYTE buffer[64] = {};
    BOOL started = FALSE;
    DWORD startError = 0;
};

void StartRead(HANDLE reader, DWORD length, PendingRead* read) {
    HANDLE event = read->io.hEvent ? read->io.hEvent : CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ZeroMemory(&read->io, sizeof read->io);
    read->io.hEvent = event;
    SetLastError(0xDEADBEEF);
    read->started = ReadFile(reader, read->buffer, length, nullptr, &read->io);
    read->startError = read->started ? 0 : GetLastError();
}

// Waits for the read; returns its error (0 when it delivered) and the bytes.
DWORD FinishRead(HANDLE reader, PendingRead* read, DWORD timeoutMs, std::vector<BYTE>* bytes) {
    if (WaitForSingleObject(read->io.hEvent, timeoutMs) != WAIT_OBJECT_0) CancelIoEx(reader, &read->io);
    DWORD got = 0;
    DWORD error = GetOverlappedResult(reader, &read->io, &got, TRUE) ? 0 : GetLastError();
    bytes->assign(read->buffer, read->buffer + got);
    return error;
}

TEST_F(FakeSensorTest, WalkOpensTheSensorReadsItsReportsAndSeesTheUnplug) {
    InterfaceConfig config;
    config.pipe = UniquePipeName(L"mi_00&col01#sensor");
    int otherCollection = Add(config);
    config.pipe = UniquePipeName(L"mi_00&col02#sensor");
    int sensor = Add(config);
    config.pipe = UniquePipeName(L"mi_00&col02#mouse");
    config.vendorId = 0x045E;
    config.productId = 0x0001;
    int foreign = Add(config);

    std::vector<std::wstring> paths = ListPresent();
    ASSERT_EQ(paths, (std::vector<std::wstring>{PathOf(otherCollection), PathOf(sensor), PathOf(foreign)}));
    EXPECT_EQ(paths[1].compare(26, 5, L"mi_00"), 0);
    EXPECT_EQ(paths[1].compare(32, 5, L"col02"), 0);

    // Query opens and attributes of every listed interface.
    const WORD expectedIds[3][2] = {{0x1770, 0xFF00}, {0x1770, 0xFF00}, {0x045E, 0x0001}};
    HANDLE query = INVALID_HANDLE_VALUE;
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(testsupport::Narrow(paths[i]));
        HANDLE handle = OpenQuery(paths[i]);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = 12;
        SetLastError(0xDEADBEEF);
        EXPECT_TRUE(api_.getAttributes(handle, &attributes));
        EXPECT_EQ(GetLastError(), 0xDEADBEEFu);
        EXPECT_EQ(attributes.VendorID, expectedIds[i][0]);
        EXPECT_EQ(attributes.ProductID, expectedIds[i][1]);
        if (i == 1) query = handle;
        else CloseHandle(handle);
    }

    // The inspection: duplicate, read open, capabilities, as the program does.
    HANDLE device = Duplicate(query);
    ASSERT_TRUE(device);
    CloseHandle(query);  // the walk closes its handle; the duplicate names the same pipe
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = 12;
    EXPECT_TRUE(api_.getAttributes(device, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x1770);
    HANDLE reader = OpenReader(paths[1]);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(api_.getPreparsedData(device, &preparsed));
    HIDP_CAPS caps = {};
    EXPECT_EQ(api_.getCaps(preparsed, &caps), static_cast<NTSTATUS>(HIDP_STATUS_SUCCESS));
    EXPECT_EQ(caps.InputReportByteLength, 8);
    EXPECT_EQ(caps.FeatureReportByteLength, 8);
    EXPECT_TRUE(api_.freePreparsedData(preparsed));
    EXPECT_TRUE(api_.flushQueue(device));
    EXPECT_TRUE(WaitForConnected(bench_.get(), sensor, 2, 2000)) << GetPipeStats(bench_.get(), sensor).connected;

    // A feature report is recorded with its bytes and a time within the call.
    BYTE feature[8] = {0x01, 0x02, 0x11, 0x02, 0, 0, 0, 0};
    ULONGLONG before = QpcNow();
    EXPECT_TRUE(api_.setFeature(device, feature, sizeof feature));
    ULONGLONG after = QpcNow();
    std::vector<CallRecord> features;
    ASSERT_TRUE(WaitForFeatureReports(bench_.get(), sensor, 1, 2000, &features));
    EXPECT_EQ(features[0].data, std::vector<BYTE>(feature, feature + 8));
    EXPECT_EQ(features[0].result, 1u);
    EXPECT_GE(features[0].qpc, before);
    EXPECT_LE(features[0].qpc, after);

    // A pending read completes with the report; a report already queued completes the read at once.
    PendingRead read;
    StartRead(reader, caps.InputReportByteLength, &read);
    EXPECT_FALSE(read.started);
    EXPECT_EQ(read.startError, static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(SendOrientation(bench_.get(), sensor, 0x04), 2);  // the duplicate's client and the reader
    std::vector<BYTE> bytes;
    EXPECT_EQ(FinishRead(reader, &read, 2000, &bytes), 0u);
    EXPECT_EQ(Hex(bytes), L"0104000000000000");

    EXPECT_EQ(SendOrientation(bench_.get(), sensor, 0x20), 2);
    StartRead(reader, caps.InputReportByteLength, &read);
    EXPECT_TRUE(read.started) << read.startError;
    EXPECT_EQ(FinishRead(reader, &read, 2000, &bytes), 0u);
    EXPECT_EQ(Hex(bytes), L"0120000000000000");

    // Unplug: the pending read ends, the next read fails at once, the interface is gone.
    StartRead(reader, caps.InputReportByteLength, &read);
    ASSERT_EQ(read.startError, static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(Unplug(bench_.get(), sensor));
    EXPECT_EQ(FinishRead(reader, &read, 2000, &bytes), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    StartRead(reader, caps.InputReportByteLength, &read);
    EXPECT_FALSE(read.started);
    EXPECT_EQ(read.startError, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(api_.setFeature(device, feature, sizeof feature));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(ListPresent(), (std::vector<std::wstring>{PathOf(otherCollection), PathOf(foreign)}));
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(OpenQuery(paths[1]), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(reader);
    CloseHandle(device);
    CloseHandle(read.io.hEvent);

    // Plugged in again, it is listed and opens as before.
    ASSERT_TRUE(Plug(bench_.get(), sensor));
    EXPECT_EQ(ListPresent(), paths);
    HANDLE again = OpenQuery(paths[1]);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);

    // The record holds the sensor's calls in order.
    std::vector<std::string> calls;
    for (const CallRecord& record : CallRecords(bench_.get())) {
        if (record.pipe == InterfaceSettings(bench_.get(), sensor).pipe) calls.push_back(record.call);
    }
    EXPECT_EQ(calls, (std::vector<std::string>{kCallAttributes, kCallAttributes, kCallPreparsed, kCallCaps, kCallFree,
                                               kCallFlush, kCallFeature, kCallFeature}));
    std::vector<CallRecord> allFeatures = CallsOn(bench_.get(), sensor, kCallFeature);
    ASSERT_EQ(allFeatures.size(), 2u);
    EXPECT_EQ(allFeatures[1].result, 0u);
    EXPECT_EQ(CallsOn(bench_.get(), -1, kCallClassDevs).size(), 3u);
    EXPECT_EQ(CallsOn(bench_.get(), -1, kCallDestroy).size(), 3u);
}

TEST_F(FakeSensorTest, FailureSwitchesShowAtTheStepTheyBelongTo) {
    constexpr DWORD kNone = 0;
    struct Row {
        const char* name;
        void (*change)(InterfaceConfig*);
        ServeMode mode;
        DWORD queryOpenError;
        DWORD readOpenError;
        DWORD attributesError;  // kNone: attributes delivered
        DWORD preparsedError;   // kNone: preparsed data delivered
        DWORD capsStatus;
        USHORT inputLength;     // delivered in the capabilities
        DWORD flushError;
        DWORD setFeatureError;
    };
    const DWORD ok = HIDP_STATUS_SUCCESS;
    const DWORD invalid = static_cast<DWORD>(HIDP_STATUS_INVALID_PREPARSED_DATA);
    const Row rows[] = {
        {"works", [](InterfaceConfig*) {}, kServeFull, kNone, kNone, kNone, kNone, ok, 8, kNone, kNone},
        {"pipe not served", [](InterfaceConfig*) {}, kServeNone, ERROR_FILE_NOT_FOUND, kNone, kNone, kNone, ok, 0, kNone, kNone},
        {"read open refused", [](InterfaceConfig*) {}, kServeQueryOnly, kNone, ERROR_ACCESS_DENIED, kNone, kNone, ok, 8, kNone, kNone},
        {"attributes refused", [](InterfaceConfig* c) { c->attributesOk = false; }, kServeFull, kNone, kNone, ERROR_GEN_FAILURE, kNone, ok, 8, kNone, kNone},
        {"preparsed data refused", [](InterfaceConfig* c) { c->preparsedOk = false; }, kServeFull, kNone, kNone, kNone, ERROR_GEN_FAILURE, ok, 0, kNone, kNone},
        {"capabilities error", [](InterfaceConfig* c) { c->capsStatus = static_cast<DWORD>(HIDP_STATUS_INVALID_PREPARSED_DATA); }, kServeFull, kNone, kNone, kNone, kNone, invalid, 0, kNone, kNone},
        {"input length 0", [](InterfaceConfig* c) { c->inputReportLength = 0; }, kServeFull, kNone, kNone, kNone, kNone, ok, 0, kNone, kNone},
        {"input length 1", [](InterfaceConfig* c) { c->inputReportLength = 1; }, kServeFull, kNone, kNone, kNone, kNone, ok, 1, kNone, kNone},
        {"input length 2", [](InterfaceConfig* c) { c->inputReportLength = 2; }, kServeFull, kNone, kNone, kNone, kNone, ok, 2, kNone, kNone},
        {"input length 64", [](InterfaceConfig* c) { c->inputReportLength = 64; }, kServeFull, kNone, kNone, kNone, kNone, ok, 64, kNone, kNone},
        {"flush refused", [](InterfaceConfig* c) { c->flushOk = false; }, kServeFull, kNone, kNone, kNone, kNone, ok, 8, ERROR_GEN_FAILURE, kNone},
        {"feature refused", [](InterfaceConfig* c) { c->setFeatureOk = false; }, kServeFull, kNone, kNone, kNone, kNone, ok, 8, kNone, ERROR_GEN_FAILURE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        InterfaceConfig config;
        config.pipe = UniquePipeName(L"mi_00&col02#switch");
        row.change(&config);
        int index = Add(config, row.mode);
        std::wstring path = PathOf(index);

        SetLastError(0xDEADBEEF);
        HANDLE query = OpenQuery(path);
        if (row.queryOpenError != kNone) {
            EXPECT_EQ(query, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), row.queryOpenError);
            continue;
        }
        ASSERT_NE(query, INVALID_HANDLE_VALUE) << GetLastError();

        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = 12;
        SetLastError(0xDEADBEEF);
        BOOLEAN attributesOk = api_.getAttributes(query, &attributes);
        EXPECT_EQ(attributesOk != FALSE, row.attributesError == kNone);
        EXPECT_EQ(GetLastError(), row.attributesError == kNone ? 0xDEADBEEFu : row.attributesError);
        EXPECT_EQ(attributes.VendorID, row.attributesError == kNone ? 0x1770 : 0);

        HANDLE device = Duplicate(query);
        ASSERT_TRUE(device);
        SetLastError(0xDEADBEEF);
        HANDLE reader = OpenReader(path);
        if (row.readOpenError != kNone) {
            EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), row.readOpenError);
        } else {
            EXPECT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
        }

        PHIDP_PREPARSED_DATA preparsed = nullptr;
        SetLastError(0xDEADBEEF);
        BOOLEAN preparsedOk = api_.getPreparsedData(device, &preparsed);
        EXPECT_EQ(preparsedOk != FALSE, row.preparsedError == kNone);
        EXPECT_EQ(GetLastError(), row.preparsedError == kNone ? 0xDEADBEEFu : row.preparsedError);
        if (preparsedOk) {
            HIDP_CAPS caps;
            std::memset(&caps, 0xAB, sizeof caps);  // untouched unless the call succeeds
            EXPECT_EQ(static_cast<DWORD>(api_.getCaps(preparsed, &caps)), row.capsStatus);
            if (row.capsStatus == ok) {
                EXPECT_EQ(caps.InputReportByteLength, row.inputLength);
            } else {
                EXPECT_EQ(caps.InputReportByteLength, 0xABAB);
            }
            EXPECT_TRUE(api_.freePreparsedData(preparsed));
        }

        SetLastError(0xDEADBEEF);
        EXPECT_EQ(api_.flushQueue(device) != FALSE, row.flushError == kNone);
        EXPECT_EQ(GetLastError(), row.flushError == kNone ? 0xDEADBEEFu : row.flushError);

        BYTE feature[8] = {0x01, 0x02, 0x11, 0x00, 0, 0, 0, 0};
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(api_.setFeature(device, feature, sizeof feature) != FALSE, row.setFeatureError == kNone);
        EXPECT_EQ(GetLastError(), row.setFeatureError == kNone ? 0xDEADBEEFu : row.setFeatureError);
        std::vector<CallRecord> features = CallsOn(bench_.get(), index, kCallFeature);
        ASSERT_EQ(features.size(), 1u);  // refused or not, the program's report is recorded
        EXPECT_EQ(features[0].result, row.setFeatureError == kNone ? 1u : 0u);

        if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
        CloseHandle(device);
        CloseHandle(query);
        EXPECT_TRUE(WaitForConnected(bench_.get(), index, 0, 2000));
    }
}

TEST_F(FakeSensorTest, EnumerationFollowsTheControlFileAtEveryWalk) {
    InterfaceConfig config;
    config.pipe = UniquePipeName(L"mi_00&col02#first");
    int first = Add(config);
    config.pipe = UniquePipeName(L"mi_00&col02#absent");
    config.present = false;
    int absent = Add(config);
    config.pipe = UniquePipeName(L"mi_00&col02#upper");
    config.present = true;
    config.pathCase = kPathUpper;
    int upper = Add(config);
    config.pipe = UniquePipeName(L"mi_00&");  // 9 + 17 + 6 = 32 characters
    config.pathCase = kPathAsIs;
    int shortPath = Add(config);
    config.pipe = UniquePipeName(L"mi_00&col02#second");
    int second = Add(config);

    EXPECT_EQ(ListPresent(), (std::vector<std::wstring>{PathOf(first), PathOf(upper), PathOf(shortPath), PathOf(second)}));
    DWORD error = 0;
    EXPECT_EQ(ListPaths(DIGCF_DEVICEINTERFACE, &error),
              (std::vector<std::wstring>{PathOf(first), PathOf(absent), PathOf(upper), PathOf(shortPath), PathOf(second)}));

    // The upper-case path is the served pipe all the same; the short path is 32 characters.
    std::wstring upperPath = PathOf(upper);
    EXPECT_EQ(upperPath.compare(26, 11, L"MI_00&COL02"), 0);
    HANDLE handle = OpenQuery(upperPath);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    HIDD_ATTRIBUTES attributes = {};
    EXPECT_TRUE(api_.getAttributes(handle, &attributes));
    EXPECT_EQ(attributes.ProductID, 0xFF00);
    CloseHandle(handle);
    EXPECT_EQ(PathOf(shortPath).size(), 32u);
    handle = OpenQuery(PathOf(shortPath));
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);

    // A change shows at the next walk without anything else happening.
    InterfaceConfig changed = InterfaceSettings(bench_.get(), absent);
    changed.present = true;
    ASSERT_TRUE(UpdateInterface(bench_.get(), absent, changed));
    EXPECT_EQ(ListPresent().size(), 5u);
    // ... and at the next HID call on a handle already open, without a walk.
    handle = OpenQuery(PathOf(first));
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(api_.getAttributes(handle, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x1770);
    changed = InterfaceSettings(bench_.get(), first);
    changed.vendorId = 0x1234;
    ASSERT_TRUE(UpdateInterface(bench_.get(), first, changed));
    EXPECT_TRUE(api_.getAttributes(handle, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x1234);
    CloseHandle(handle);

    // The walk's own failure switches, each at its step.
    struct Row {
        const char* name;
        DWORD classDevs, enumeration, detail;
        size_t listed;
    } rows[] = {{"class query", ERROR_ACCESS_DENIED, 0, 0, 0},
                {"enumeration", 0, ERROR_NOT_READY, 0, 0},
                {"detail", 0, 0, ERROR_DEVICE_NOT_CONNECTED, 0},
                {"none", 0, 0, 0, 5}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(SetWalkSwitches(bench_.get(), row.classDevs, row.enumeration, row.detail));
        DWORD walkError = 0;
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(ListPaths(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, &walkError).size(), row.listed);
        DWORD expected = row.classDevs + row.enumeration + row.detail;
        EXPECT_EQ(walkError, expected != 0 ? expected : static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    }

    // Misuse is refused as the system refuses it.
    GUID guid = kHidGuid;
    HDEVINFO set = api_.getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data + 1;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(api_.enumInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    ASSERT_TRUE(api_.enumInterfaces(set, nullptr, &guid, 0, &data));
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
        BYTE bytes[512];
    } block = {};
    block.detail.cbSize = sizeof block.detail + 1;  // the block's size is not the structure's
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(api_.getDetail(set, &data, &block.detail, sizeof block, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_TRUE(api_.destroy(set));

    // Another class goes to the system's setupapi and is not recorded.
    size_t walks = CallsOn(bench_.get(), -1, kCallClassDevs).size();
    GUID other = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    set = api_.getClassDevs(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(api_.enumInterfaces(set, nullptr, &other, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(api_.destroy(set));
    EXPECT_EQ(CallsOn(bench_.get(), -1, kCallClassDevs).size(), walks);
}

// A stand-in for the rotation thread: feature report, read, and again,
// until a read fails.
struct RotationLoop {
    StandIns* api = nullptr;
    HANDLE device = nullptr;
    HANDLE reader = INVALID_HANDLE_VALUE;
    std::vector<std::vector<BYTE>> reports;  // the loop's thread
    DWORD endError = 0;                      // the loop's thread
    LONG received = 0;                       // the loop's thread, interlocked
};

DWORD WINAPI RunRotationLoop(void* argument) {
    RotationLoop* loop = static_cast<RotationLoop*>(argument);
    PendingRead read;
    for (;;) {
        BYTE feature[8] = {0x01, 0x02, 0x11, static_cast<BYTE>(loop->reports.size() & 0xFF), 0, 0, 0, 0};
        loop->api->setFeature(loop->device, feature, sizeof feature);
        StartRead(loop->reader, 8, &read);
        if (!read.started && read.startError != ERROR_IO_PENDING) {
            loop->endError = read.startError;
            break;
        }
        std::vector<BYTE> bytes;
        DWORD error = FinishRead(loop->reader, &read, 10000, &bytes);
        if (error != 0) {
            loop->endError = error;
            break;
        }
        loop->reports.push_back(bytes);
        InterlockedIncrement(&loop->received);
    }
    CloseHandle(read.io.hEvent);
    return 0;
}

TEST_F(FakeSensorTest, ReportFloodsArriveWholeAndInOrderAndReactionTimesAreMeasured) {
    InterfaceConfig config;
    config.pipe = UniquePipeName(L"mi_00&col02#flood");
    int sensor = Add(config);
    std::wstring path = PathOf(sensor);
    HANDLE query = OpenQuery(path);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    HANDLE device = Duplicate(query);
    CloseHandle(query);
    HANDLE reader = OpenReader(path);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);

    RotationLoop loop;
    loop.api = &api_;
    loop.device = device;
    loop.reader = reader;
    HANDLE thread = CreateThread(nullptr, 0, RunRotationLoop, &loop, 0, nullptr);
    ASSERT_TRUE(thread);

    // Reaction times: each report is answered by the loop's next feature report.
    std::vector<CallRecord> features;
    ASSERT_TRUE(WaitForFeatureReports(bench_.get(), sensor, 1, 5000, &features));
    std::vector<double> reactions;
    for (int i = 0; i < 20; ++i) {
        ULONGLONG sent = 0;
        ASSERT_EQ(SendReport(bench_.get(), sensor, OrientationReport(8, 0x04, 0).data(), 8, &sent), 2);
        ASSERT_TRUE(WaitForFeatureReports(bench_.get(), sensor, features.size() + 1, 5000, &features));
        reactions.push_back(QpcMicroseconds(sent, features.back().qpc));
    }
    std::sort(reactions.begin(), reactions.end());
    EXPECT_GT(reactions.front(), 0.0);
    EXPECT_LT(reactions[reactions.size() / 2], 2000000.0);  // only a hang fails here; the benchmark times it
    RecordProperty("median_reaction_us", static_cast<int>(reactions[reactions.size() / 2]));

    // A paced series keeps to its rate, then a flood goes as fast as it can;
    // every report arrives whole and in order.
    constexpr int kPaced = 250;
    constexpr int kFlood = 2000;
    std::vector<std::vector<BYTE>> paced, flood;
    for (int i = 0; i < kPaced + kFlood; ++i) {
        (i < kPaced ? paced : flood).push_back(OrientationReport(8, 0x08));
        std::memcpy(&(i < kPaced ? paced : flood).back()[4], &i, sizeof i);
    }
    std::vector<ULONGLONG> sent;
    ASSERT_EQ(SendReports(bench_.get(), sensor, paced, 1000, &sent), kPaced);
    double pacedUs = QpcMicroseconds(sent.front(), sent.back());
    // Never ahead of the schedule; how far behind depends on the machine's
    // load, which the benchmark measures rather than this test.
    EXPECT_GE(pacedUs, (kPaced - 1) * 1000.0 - 1000.0);
    ASSERT_EQ(SendReports(bench_.get(), sensor, flood, 0, &sent), kFlood);
    ASSERT_EQ(sent.size(), static_cast<size_t>(kFlood));
    EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end()));
    RecordProperty("flood_reports_per_s", static_cast<int>(kFlood * 1e6 / QpcMicroseconds(sent.front(), sent.back())));
    constexpr int kTotal = 20 + kPaced + kFlood;
    for (int waited = 0; InterlockedCompareExchange(&loop.received, 0, 0) < kTotal && waited < 1000; ++waited) {
        Sleep(10);
    }
    ASSERT_TRUE(Unplug(bench_.get(), sensor));
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    EXPECT_EQ(loop.endError, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    ASSERT_EQ(loop.reports.size(), static_cast<size_t>(kTotal));
    for (int i = 0; i < kPaced + kFlood; ++i) {
        const std::vector<BYTE>& report = loop.reports[20 + i];
        int number = 0;
        ASSERT_EQ(report.size(), 8u);
        std::memcpy(&number, &report[4], sizeof number);
        ASSERT_EQ(number, i);
        ASSERT_EQ(report[1], 0x08);
    }
    PipeStats stats = GetPipeStats(bench_.get(), sensor);
    EXPECT_EQ(stats.reportsMissed, 0u);
    EXPECT_EQ(stats.reportsWritten, 2u * kTotal);
    CloseHandle(reader);
    CloseHandle(device);
}

TEST_F(FakeSensorTest, PlugUnplugCyclesLeaveNoPipeInstanceBehind) {
    InterfaceConfig config;
    config.pipe = UniquePipeName(L"mi_00&col02#cycles");
    int sensor = Add(config);
    std::wstring path = PathOf(sensor);
    constexpr int kCycles = 25;
    PendingRead read;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(ListPresent().size(), 1u);
        HANDLE query = OpenQuery(path);
        ASSERT_NE(query, INVALID_HANDLE_VALUE) << GetLastError();
        HANDLE reader = OpenReader(path);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
        StartRead(reader, 8, &read);
        ASSERT_EQ(read.startError, static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(Unplug(bench_.get(), sensor));
        std::vector<BYTE> bytes;
        EXPECT_EQ(FinishRead(reader, &read, 2000, &bytes), static_cast<DWORD>(ERROR_BROKEN_PIPE));
        EXPECT_EQ(ListPresent().size(), 0u);
        CloseHandle(reader);
        CloseHandle(query);
        ASSERT_TRUE(Plug(bench_.get(), sensor));
    }
    CloseHandle(read.io.hEvent);
    PipeStats stats = GetPipeStats(bench_.get(), sensor);
    EXPECT_EQ(stats.connected, 0);
    EXPECT_EQ(stats.accepted, 2u * kCycles);
}

// The probe imports hid.dll and setupapi.dll by name, like the product: run
// from a bench folder it must get the stand-ins, and Wine's user32 must still
// reach the system's setupapi through them.
TEST(FakeSensorProbe, StaticImportsGetTheStandInsAndEverythingElseStillWorks) {
    BenchPtr bench = CreateBench(testsupport::ModuleDir() + L"velatrix_fake_sensor_probe.exe");
    ASSERT_TRUE(bench);
    InterfaceConfig config;
    config.pipe = UniquePipeName(L"mi_00&col01#probe");
    int otherCollection = AddInterface(bench.get(), config);
    config.pipe = UniquePipeName(L"mi_00&col02#probe");
    int sensor = AddInterface(bench.get(), config);
    ASSERT_GE(otherCollection, 0);
    ASSERT_GE(sensor, 0);

    testsupport::ChildProcess probe;
    ASSERT_TRUE(probe.Start(BenchExePath(bench.get())));
    std::vector<CallRecord> features;
    ASSERT_TRUE(WaitForFeatureReports(bench.get(), sensor, 1, 30000, &features));
    EXPECT_EQ(Hex(features[0].data), L"0102110000000000");
    EXPECT_EQ(SendOrientation(bench.get(), sensor, 0x10), 2);
    DWORD exitCode = 1;
    ASSERT_TRUE(probe.Wait(30000, &exitCode));
    EXPECT_EQ(exitCode, 0u);

    std::string text;
    ASSERT_TRUE(testsupport::ReadFileBytes(BenchFolder(bench.get()) + L"probe_result.txt", &text));
    std::vector<std::wstring> lines = testsupport::SplitLines(testsupport::Widen(text));
    std::wstring folder = BenchFolder(bench.get());
    auto lower = [](std::wstring s) {
        CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
        return s;
    };
    std::vector<std::wstring> expected = {
        L"hid " + lower(folder + L"hid.dll"),
        L"setupapi " + lower(folder + L"setupapi.dll"),
        L"display 1 1",
        L"forwarded 1",
        L"interface " + InterfacePath(InterfaceSettings(bench.get(), otherCollection)) + L" 1770 ff00",
        L"interface " + InterfacePath(InterfaceSettings(bench.get(), sensor)) + L" 1770 ff00",
        L"caps 00110000 8",
        L"report 0110000000000000",
        L"done",
    };
    ASSERT_EQ(lines.size(), expected.size()) << text;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::wstring line = i < 2 ? lower(lines[i]) : lines[i];
        EXPECT_EQ(line, expected[i]) << text;
    }
    std::vector<std::string> calls;
    for (const CallRecord& record : CallsOn(bench.get(), sensor, kCallFree)) calls.push_back(record.call);
    EXPECT_EQ(calls.size(), 1u);  // the probe's preparsed data went back to the stand-in
    EXPECT_TRUE(WaitForConnected(bench.get(), sensor, 0, 5000));
}

}  // namespace
}  // namespace fakesensor
