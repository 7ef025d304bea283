// Is Windows running on a 64-bit processor? Asked once per CampaignConfig,
// from TCCreate, for the SuportX64 gate. The native answer is asked for, so a
// 32-bit host on 64-bit Windows gets 1.
#pragma once
#include <cstdint>

// The pure rule: 1 for PROCESSOR_ARCHITECTURE_AMD64 (9) and _IA64 (6).
int ArchitectureIs64Bit(std::uint16_t architecture);

// The kernel32 export GetNativeSystemInfo, or null where it is missing.
using NativeSystemInfoFn = void(__stdcall*)(void* systemInfo);
int IsSystem64BitWith(NativeSystemInfoFn getNativeSystemInfo);

int IsSystem64Bit();
