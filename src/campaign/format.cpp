#include "campaign/format.h"

#include <cstring>

namespace {

bool SameAsciiName(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

}  // namespace

const CampaignKey* FindCampaignKey(const char* section, const char* name) {
    if (section == nullptr || name == nullptr) return nullptr;
    for (const CampaignKey& key : kCampaignKeys) {
        if (SameAsciiName(key.section, section) && SameAsciiName(key.name, name)) return &key;
    }
    return nullptr;
}

std::int32_t StoredNumber(const CampaignKey& key, std::int32_t raw) {
    if (key.type == KeyType::Flag) return raw != 0 ? 1 : 0;
    if (key.bounded) return raw < key.low ? key.low : (raw > key.high ? key.high : raw);
    return raw;
}

void SetNumberDefaults(CommonSettings& common) {
    for (const CampaignKey& key : kCampaignKeys) {
        if (key.commonNumber != nullptr) common.*key.commonNumber = key.defaultValue;
    }
}

void SetNumberDefaults(NoticeRecord& notice) {
    for (const CampaignKey& key : kCampaignKeys) {
        if (key.noticeNumber != nullptr) notice.*key.noticeNumber = key.defaultValue;
    }
}

GameScanKeyKind ClassifyGameScanKey(const char* keyName) {
    if (keyName == nullptr || *keyName == '\0') return GameScanKeyKind::Stop;
    const char last = keyName[std::strlen(keyName) - 1];
    if (last == 'm') return GameScanKeyKind::Featured;
    if (last == 'o') return GameScanKeyKind::Pattern;
    return GameScanKeyKind::Stop;
}
