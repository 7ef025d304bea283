/* A stand-in for <shellapi.h>: the notification icon as the host guide's
   example uses it (see windows.h here). */
#ifndef HOST_GUIDE_SHELLAPI_H
#define HOST_GUIDE_SHELLAPI_H
#include "windows.h"

typedef struct NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    char szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    char szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    char szInfoTitle[64];
    DWORD dwInfoFlags;
} NOTIFYICONDATAA;

#define NIF_MESSAGE 0x01
#define NIF_ICON 0x02
#define NIF_TIP 0x04
#define NIF_INFO 0x10
#define NIM_ADD 0
#define NIM_MODIFY 1
#define NIM_DELETE 2
#define NIM_SETVERSION 4
#define NIIF_INFO 1
#define NIN_BALLOONSHOW (WM_USER + 2)
#define NIN_BALLOONHIDE (WM_USER + 3)
#define NIN_BALLOONTIMEOUT (WM_USER + 4)
#define NIN_BALLOONUSERCLICK (WM_USER + 5)
#define NOTIFYICON_VERSION 3

BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data);
#endif
