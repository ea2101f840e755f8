// The Win32, SetupAPI and WinUSB calls of the WinUSB backend, as one table
// of function pointers holding the real functions. Tests point entries at an
// emulated driver: Wine's winusb.dll has stubs only, and no USB device.
#pragma once

// <windows.h> first: the SetupAPI and WinUSB headers build on its types.
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on
// <winusbio.h> defines a WinUSB_TestGuid of its own; keep it apart from the
// library's exported one.
#define WinUSB_TestGuid WinUSB_TestGuid_winusbio
#include <winusb.h>
#undef WinUSB_TestGuid

namespace dirov {

struct WinUsbApi {
    decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
    decltype(&::LocalAlloc) LocalAlloc;
    decltype(&::LocalFree) LocalFree;
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::CreateEventA) CreateEventA;
    decltype(&::CancelIoEx) CancelIoEx;
    decltype(&::WinUsb_Initialize) WinUsb_Initialize;
    decltype(&::WinUsb_Free) WinUsb_Free;
    decltype(&::WinUsb_WritePipe) WinUsb_WritePipe;
    decltype(&::WinUsb_ReadPipe) WinUsb_ReadPipe;
    decltype(&::WinUsb_GetOverlappedResult) WinUsb_GetOverlappedResult;
    decltype(&::WinUsb_AbortPipe) WinUsb_AbortPipe;
    decltype(&::WinUsb_FlushPipe) WinUsb_FlushPipe;
    decltype(&::WinUsb_ControlTransfer) WinUsb_ControlTransfer;
    decltype(&::WinUsb_GetDescriptor) WinUsb_GetDescriptor;
};

// The table the backend calls through; set entries before opening a device.
WinUsbApi& winusb_api();
// The real functions.
const WinUsbApi& winusb_system_api();

}  // namespace dirov
