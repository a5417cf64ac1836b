// Symbol visibility for the SDK's public classes and functions.
#pragma once

#if defined(_WIN32)
#if defined(LUMORA_BUILDING_SDK)
#define LUMORA_API __declspec(dllexport)
#else
#define LUMORA_API __declspec(dllimport)
#endif
#else
#define LUMORA_API __attribute__((visibility("default")))
#endif
