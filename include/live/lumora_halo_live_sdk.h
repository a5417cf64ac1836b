// Process-wide settings of the SDK: its log, proxy and service environment.
#pragma once

#include "../vela/lumora_export.h"

namespace lumora {
namespace live {

class LUMORA_API HaloLiveSDK {
 public:
  // Directory of the SDK's log file (created when missing). False for a null
  // or empty path, or one that cannot be created or written.
  static bool SetLogPath(const char* path);
  // 0 verbose, 1 debug, 2 info, 3 warning, 4 error, 5 none; other values
  // are clamped into that range.
  static void SetLogLevel(int level);
  static void EnableConsoleLog();
  static void DisableConsoleLog();
  static void DisableLogCompress(bool disabled);
  static void DisableLogFile(bool disabled);
  // ip: a dotted IPv4 address or a host name; port: 1 to 65535; username and
  // password both null (no authentication) or both non-empty, at most 255
  // bytes each. False, with the old setting kept, for anything else.
  static bool SetSocks5Proxy(const char* ip, unsigned short port, const char* username,
                             const char* password);
  // "production", "staging" or "test". False, with the old setting kept,
  // for anything else.
  static bool SetEnvironment(const char* env);
};

}  // namespace live
}  // namespace lumora
