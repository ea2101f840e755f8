/* The <windows.h> types the public headers use, as the Windows SDK defines
 * them. MinGW's own <windows.h> does not parse for clang's MSVC target, so
 * this stands in for it when the headers are checked with MSVC conventions. */
#pragma once
typedef long HRESULT;
typedef int BOOL;
typedef void* HANDLE;
typedef void* PVOID;
typedef struct _GUID {
    unsigned long Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
