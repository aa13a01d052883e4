// Release of the sensor record: every field it owns is released once and the
// record returns to its idle values, whatever a failed set-up left in it.
#include <gtest/gtest.h>

#include "log/logfile.h"
#include "sensor/device_data.h"

namespace {

bool IsHandleOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

void ExpectIdle(const DeviceData& data) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, data.hHidDevice);
    EXPECT_EQ(INVALID_HANDLE_VALUE, data.hReadDevice);
    EXPECT_EQ(nullptr, data.hStopEvent);
    EXPECT_EQ(nullptr, data.hReadEvent);
    EXPECT_EQ(nullptr, data.hRotationThread);
    EXPECT_EQ(nullptr, data.pInputReport);
}

TEST(DeviceData, IdleRecordStaysIdleAcrossRepeatedCleanups) {
    DeviceData data;
    InitDeviceData(&data);
    ExpectIdle(data);
    CleanupDeviceData(&data);
    CleanupDeviceData(&data);
    ExpectIdle(data);
}

DWORD WINAPI EndAtOnce(LPVOID) { return 7; }

TEST(DeviceData, ReleasesWhatAPartialSetUpLeftAndKeepsOutcomeFields) {
    DeviceData data;
    InitDeviceData(&data);
    data.dwOpenStatus = 0x00110000;
    data.caps.InputReportByteLength = 9;
    data.hWnd = reinterpret_cast<HWND>(0x1234);
    data.hHidDevice = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // any closable handles
    data.hReadDevice = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    data.hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    data.hReadEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    data.pInputReport = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, 9));
    HANDLE handles[] = {data.hHidDevice, data.hReadDevice, data.hStopEvent, data.hReadEvent};

    CleanupDeviceData(&data);

    ExpectIdle(data);
    for (HANDLE h : handles) EXPECT_FALSE(IsHandleOpen(h));
    EXPECT_EQ(0x00110000u, data.dwOpenStatus);
    EXPECT_EQ(9, data.caps.InputReportByteLength);
    EXPECT_EQ(reinterpret_cast<HWND>(0x1234), data.hWnd);
}

TEST(DeviceData, WaitsForAnEndedThreadAndClosesIt) {
    DeviceData data;
    InitDeviceData(&data);
    data.hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    data.hRotationThread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
    HANDLE thread = data.hRotationThread;
    CleanupDeviceData(&data);
    ExpectIdle(data);
    EXPECT_FALSE(IsHandleOpen(thread));
}

}  // namespace
