/*
 * Quentra.dll: the tray notification plug-in, as its host sees it.
 *
 * Load the library, resolve the six exports by name with GetProcAddress
 * (they are undecorated, at ordinals 1 to 6) and call them with the stdcall
 * convention. Every integer is 32-bit; every result is 1 (success, yes) or 0.
 *
 * Call order:
 *   TCGetVer  - any time; writes the interface version. Compare it with
 *               QUENTRA_INTERFACE_VERSION and leave a plug-in of another
 *               version alone.
 *   TCCreate  - makes an instance; null only when memory ran out.
 *   TCCheck   - whenever the host wants a decision: 1 = show the balloon now.
 *               A 1 has already counted the showing and started its report,
 *               which is sent once and may be lost.
 *   TCEnum    - after a 1, fetch the balloon's texts with index 0; show the
 *               balloon only when it answers 1.
 *   TCDoCommand - only when the user clicks the plug-in's balloon (the
 *               icon's NIN_BALLOONUSERCLICK): starts the suite's installer.
 *               It does not ask whether anybody clicked.
 *   TCDestory - (sic: the host resolves it by this name) ends the instance.
 *
 * Buffers: the host owns every buffer. Sizes count bytes, terminator
 * included. A size of 0 or a negative size leaves that buffer untouched;
 * otherwise the text arrives whole, or cut to size - 1 bytes, always
 * terminated, and nothing past `size` bytes is written. A buffer of 1024
 * bytes always receives the whole message. Texts are in the ANSI code page
 * (the built-in defaults are code page 936). levelOut and flagOut must be
 * valid whenever the instance is not null and index is 0. levelOut receives
 * the campaign's Level (default 3), which the plug-in gives no meaning: the
 * host's to use or ignore. flagOut always receives 1 and carries nothing.
 *
 * Threads: call one instance from one thread at a time; different instances
 * may be used on different threads. The plug-in starts short-lived report
 * threads of its own; each holds a reference on the library until it ends,
 * so the host may call TCDestory and FreeLibrary at once.
 */
#ifndef QUENTRA_QUENTRA_H
#define QUENTRA_QUENTRA_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void* QUENTRA_INSTANCE;

typedef int(__stdcall* PFN_TCGetVer)(int* version);
typedef QUENTRA_INSTANCE(__stdcall* PFN_TCCreate)(void);
typedef int(__stdcall* PFN_TCDestory)(QUENTRA_INSTANCE instance);
typedef int(__stdcall* PFN_TCCheck)(QUENTRA_INSTANCE instance);
typedef int(__stdcall* PFN_TCEnum)(QUENTRA_INSTANCE instance, int index, char* titleBuffer, int titleSize,
                                   char* messageBuffer, int messageSize, int* levelOut, char* commandBuffer,
                                   int commandSize, int* flagOut, char* idBuffer, int idSize);
typedef int(__stdcall* PFN_TCDoCommand)(QUENTRA_INSTANCE instance, int param);

#define QUENTRA_INTERFACE_VERSION 1
#define QUENTRA_MESSAGE_SIZE 1024

/* For a host that links the import library Quentra.lib instead of resolving
   the exports by name: define QUENTRA_IMPORTS before including this header.
   The tray then cannot start without the DLL beside it. */
#ifdef QUENTRA_IMPORTS
__declspec(dllimport) int __stdcall TCGetVer(int* version);
__declspec(dllimport) QUENTRA_INSTANCE __stdcall TCCreate(void);
__declspec(dllimport) int __stdcall TCDestory(QUENTRA_INSTANCE instance);
__declspec(dllimport) int __stdcall TCCheck(QUENTRA_INSTANCE instance);
__declspec(dllimport) int __stdcall TCEnum(QUENTRA_INSTANCE instance, int index, char* titleBuffer, int titleSize,
                                           char* messageBuffer, int messageSize, int* levelOut,
                                           char* commandBuffer, int commandSize, int* flagOut, char* idBuffer,
                                           int idSize);
__declspec(dllimport) int __stdcall TCDoCommand(QUENTRA_INSTANCE instance, int param);
#endif

#ifdef __cplusplus
}
#endif

#endif
