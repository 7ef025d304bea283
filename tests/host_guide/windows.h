/* A stand-in for <windows.h>, just what the host guide's example calls, so
   that the example runs natively: play.c is the loader, the plug-in and the
   Shell, and records what the example asks of them. */
#ifndef HOST_GUIDE_WINDOWS_H
#define HOST_GUIDE_WINDOWS_H
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define __stdcall
#define CALLBACK
typedef unsigned char BYTE;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned long DWORD;
typedef void* HMODULE;
typedef void* HWND;
typedef void* HICON;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t (*FARPROC)(void);

#define WM_USER 0x0400
#define WM_APP 0x8000
#define LOWORD(l) ((unsigned short)((uintptr_t)(l) & 0xFFFF))
#define ZeroMemory(p, n) memset((p), 0, (n))

HMODULE LoadLibraryA(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/* Code page 936's lead bytes. */
BOOL IsDBCSLeadByte(BYTE b);
#endif
