#include "environment/bookkeeping.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/text.h"

std::int32_t ReadPopupCount() {
    DWORD type = 0;
    std::int32_t count = 0;
    DWORD size = sizeof count;
    // Only a 4-byte REG_DWORD is a count: a text value that happens to fit in
    // four bytes would otherwise read as its character codes.
    if (SHGetValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kPopupCountValue, &type, &count, &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof count) {
        return 0;
    }
    return count < 0 ? 0 : count;
}

bool WritePopupCount(std::int32_t count) {
    DWORD value = static_cast<DWORD>(count < 0 ? 0 : count);
    return SHSetValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kPopupCountValue, REG_DWORD, &value, sizeof value) ==
           ERROR_SUCCESS;
}

bool IncreasePopupCount() {
    // A count that already stands at the largest number stays there: wrapping
    // to a negative number would store 0 and let the campaign show again.
    const std::int32_t count = ReadPopupCount();
    return WritePopupCount(count == INT32_MAX ? count : count + 1);
}

bool IsSamePurpose(const TextString& purpose) {
    // The whole stored text is compared, however long: a purpose longer than
    // a fixed buffer would otherwise never compare equal and reset the count
    // at every load.
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS probe = SHGetValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kPurposeValue, &type, nullptr, &size);
    if (probe != ERROR_SUCCESS) return purpose.empty();  // missing: the empty purpose
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;  // not a text: never the same
    // Room for the terminator that the reader adds to a text stored without
    // one, and a last byte that always stays zero.
    std::vector<char> stored(size + 2, '\0');
    DWORD got = size + 1;
    if (SHGetValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kPurposeValue, &type, stored.data(), &got) !=
        ERROR_SUCCESS) {
        return false;  // changed under us: treat as a different purpose, which rewrites it
    }
    return std::strcmp(stored.data(), purpose.c_str()) == 0;
}

bool WritePurpose(const TextString& purpose) {
    return SHSetValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kPurposeValue, REG_SZ, purpose.c_str(),
                       static_cast<DWORD>(purpose.size())) == ERROR_SUCCESS;
}

void ReadLastPopupTime(PopupStamp& stamp, TextString* text) {
    stamp = PopupStamp{};
    if (text != nullptr) text->clear();
    char buffer[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer - 1;  // the last byte stays the terminator
    if (SHGetValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kLastPopupValue, &type, buffer, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return;  // missing, too long for a stamp, or not a text
    }
    if (text != nullptr) *text = buffer;
    ParsePopupStamp(buffer, stamp);  // text that is no stamp leaves it all zero
}

bool WriteLastPopupTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[64];
    if (FormatBounded(text, sizeof text, kPopupStampFormat, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                      now.wSecond) < 0) {
        return false;
    }
    return SHSetValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kLastPopupValue, REG_SZ, text,
                       static_cast<DWORD>(std::strlen(text))) == ERROR_SUCCESS;
}

void ResetPopupRecord() {
    SHDeleteValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kLastPopupValue);
    SHDeleteValueA(HKEY_LOCAL_MACHINE, kBookkeepingKey, kPopupCountValue);
}

bool RestartRecordForPurpose(const TextString& purpose) {
    if (IsSamePurpose(purpose)) return true;
    // The new purpose is stored before the old record goes, so a crash in
    // between cannot leave the old count attached to the new campaign.
    if (!WritePurpose(purpose)) return false;
    ResetPopupRecord();
    return true;
}

bool RecordPopupShown() {
    // The stamp first: once it is stored the once-a-day rule holds, even if
    // the count then fails.
    if (!WriteLastPopupTime()) return false;
    return IncreasePopupCount();
}
