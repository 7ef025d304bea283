/* Plays the loader, the plug-in and the Shell for the host guide's example
   (host_guide_example.sh builds it with the guide's blocks): the installer
   starts only on a click on the plug-in's balloon; a plug-in of another
   interface version, a check of 0 or a TCEnum of 0 shows nothing; and
   CopyBalloonText cuts on a character boundary and leaves a buffer of size 0
   alone. Each line says ok or FAIL; the exit status is the number of
   failures. */
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <shellapi.h>

#include "quentra/quentra.h"

/* The example's own, as it defines them. */
struct QuentraPlugin;
extern struct QuentraPlugin g_quentra;
int TrayIconAdd(HWND window, NOTIFYICONDATAA* nid);
int QuentraLoad(struct QuentraPlugin* q);
int QuentraOffer(struct QuentraPlugin* q, NOTIFYICONDATAA* nid);
LRESULT TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void QuentraUnload(struct QuentraPlugin* q);
void CopyBalloonText(char* out, size_t size, const char* text);

static int failures;
static void Expect(int ok, const char* what)
{
    printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
    failures += !ok;
}

/* ---- the plug-in: what each export answers, and what it was asked */
static int version = QUENTRA_INTERFACE_VERSION, checkAnswer = 1, enumAnswer = 1;
static int created, destroyed, installs, loaded;
static char instance;

static int FakeGetVer(int* out) { *out = version; return 1; }
static QUENTRA_INSTANCE FakeCreate(void) { ++created; return &instance; }
static int FakeDestory(QUENTRA_INSTANCE in) { destroyed += in == &instance; return in == &instance; }
static int FakeCheck(QUENTRA_INSTANCE in) { return in == &instance ? checkAnswer : 0; }
static int FakeEnum(QUENTRA_INSTANCE in, int index, char* title, int titleSize, char* message, int messageSize,
                    int* level, char* command, int commandSize, int* flag, char* id, int idSize)
{
    if (in != &instance || index != 0 || enumAnswer != 1) return 0;
    snprintf(title, (size_t)titleSize, "%s", "Quentra title");
    snprintf(message, (size_t)messageSize, "%s", "Quentra message");
    snprintf(command, (size_t)commandSize, "%s", "Install");
    snprintf(id, (size_t)idSize, "%s", "campaign-1");
    *level = 3;
    *flag = 1;
    return 1;
}
static int FakeDoCommand(QUENTRA_INSTANCE in, int param) { (void)param; installs += in == &instance; return 1; }

HMODULE LoadLibraryA(const char* name) { return strcmp(name, "Quentra.dll") == 0 ? (++loaded, (HMODULE)&loaded) : NULL; }
BOOL FreeLibrary(HMODULE module) { loaded -= module == (HMODULE)&loaded; return 1; }
FARPROC GetProcAddress(HMODULE module, const char* name)
{
    static const struct {
        const char* name;
        void (*function)(void);
    } exports[] = {
        {"TCGetVer", (void (*)(void))FakeGetVer},   {"TCCreate", (void (*)(void))FakeCreate},
        {"TCDestory", (void (*)(void))FakeDestory}, {"TCCheck", (void (*)(void))FakeCheck},
        {"TCEnum", (void (*)(void))FakeEnum},       {"TCDoCommand", (void (*)(void))FakeDoCommand},
    };
    size_t i;
    if (module != (HMODULE)&loaded) return NULL;
    for (i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
        if (strcmp(exports[i].name, name) == 0) return (FARPROC)exports[i].function;
    }
    return NULL;
}

/* ---- the Shell: the icon's version, and the balloons it was asked to show */
static int added, iconVersion, balloons;
static char balloonTitle[64];
BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data)
{
    if (message == NIM_ADD) ++added;
    if (message == NIM_SETVERSION) iconVersion = (int)data->uVersion;
    if (message == NIM_MODIFY && (data->uFlags & NIF_INFO) != 0) {
        ++balloons;
        memcpy(balloonTitle, data->szInfoTitle, sizeof balloonTitle);
    }
    return 1;
}
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)window, (void)message, (void)wParam, (void)lParam;
    return 0;
}
BOOL IsDBCSLeadByte(BYTE b) { return b >= 0x81 && b <= 0xFE; }

/* The Shell sends the icon's event to its window, as an icon of
   NOTIFYICON_VERSION gets it: the event in lParam. */
static HWND const window = (HWND)&balloons;
static void Event(const NOTIFYICONDATAA* nid, UINT event)
{
    TrayWindowProc(window, nid->uCallbackMessage, nid->uID, (LPARAM)event);
}

static void CallSequence(void)
{
    NOTIFYICONDATAA nid;
    Expect(TrayIconAdd(window, &nid) == 1 && added == 1 && iconVersion >= NOTIFYICON_VERSION,
           "the tray's icon asks for its balloon events (NOTIFYICON_VERSION)");
    Expect(QuentraLoad(&g_quentra) == 1 && created == 1, "loaded once, TCGetVer compared, one instance made");

    checkAnswer = 0;
    Expect(QuentraOffer(&g_quentra, &nid) == 0 && balloons == 0, "a check of 0 shows no balloon");
    checkAnswer = 1;
    enumAnswer = 0;
    Expect(QuentraOffer(&g_quentra, &nid) == 0 && balloons == 0, "a TCEnum of 0 shows no balloon");
    enumAnswer = 1;

    Expect(QuentraOffer(&g_quentra, &nid) == 1 && balloons == 1 && strcmp(balloonTitle, "Quentra title") == 0,
           "a check of 1 shows the balloon with the plug-in's title");
    Expect(installs == 0, "showing the balloon starts no installer");
    Event(&nid, NIN_BALLOONSHOW);
    Event(&nid, NIN_BALLOONTIMEOUT);
    Expect(installs == 0, "a balloon that times out or is closed starts no installer");
    QuentraOffer(&g_quentra, &nid);
    Event(&nid, NIN_BALLOONHIDE);
    Expect(installs == 0, "a balloon taken away starts no installer");
    Event(&nid, NIN_BALLOONUSERCLICK);
    Expect(installs == 0, "a click after the balloon went starts no installer");
    QuentraOffer(&g_quentra, &nid);
    Event(&nid, NIN_BALLOONUSERCLICK);
    Expect(installs == 1, "a click on the plug-in's balloon starts the installer once");
    Event(&nid, NIN_BALLOONUSERCLICK);
    Expect(installs == 1, "a second click starts it no second time");

    QuentraUnload(&g_quentra);
    Expect(destroyed == 1 && loaded == 0, "unloaded: the instance destroyed, the library freed");
    version = QUENTRA_INTERFACE_VERSION + 1;
    Expect(QuentraLoad(&g_quentra) == 0 && created == 1 && loaded == 0,
           "a plug-in of another interface version is left alone: no instance, the library freed");
}

static void Cuts(void)
{
    char title[80] = "", field[64 + 8];
    int i, ok;
    for (i = 0; i < 32; ++i) strcat(title, "\xB3\xA4"); /* 32 of the character 长: 64 bytes */
    memset(field, 0xCC, sizeof field);
    CopyBalloonText(field, 64, title);
    /* 63 bytes would end in the lead byte of the 32nd character: 62 are kept. */
    ok = strlen(field) == 62 && memcmp(field, title, 62) == 0;
    for (i = 63; i < (int)sizeof field; ++i) ok = ok && (unsigned char)field[i] == 0xCC;
    Expect(ok, "CopyBalloonText cuts on a character boundary");
    CopyBalloonText(field, 64, "short");
    Expect(strcmp(field, "short") == 0, "CopyBalloonText copies a short text whole");
    memset(field, 0xCC, sizeof field);
    CopyBalloonText(field, 1, title);
    Expect(field[0] == '\0' && (unsigned char)field[1] == 0xCC, "CopyBalloonText into 1 byte: the empty text");
    memset(field, 0xCC, sizeof field);
    CopyBalloonText(field, 0, title);
    ok = 1;
    for (i = 0; i < (int)sizeof field; ++i) ok = ok && (unsigned char)field[i] == 0xCC;
    Expect(ok, "CopyBalloonText into 0 bytes writes nothing");
}

int main(void)
{
    CallSequence();
    Cuts();
    return failures;
}
