// Names of the registry keys the server keeps its configuration in.
#pragma once

namespace qorda::store {

inline constexpr const char* kCompanyName = "Zolvex Software";
inline constexpr const char* kProductName = "Cindervale FTP Daemon";
inline constexpr const char* kShortName = "qorda";
inline constexpr const char* kVersion = "1.20";

// Paths relative to HKEY_LOCAL_MACHINE.
inline constexpr const char* kProductKey = "Software\\Zolvex Software\\Cindervale FTP Daemon";
inline constexpr const char* kSetupKey = "Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup";
inline constexpr const char* kUsersKey = "Software\\Zolvex Software\\Cindervale FTP Daemon\\Users";
inline constexpr const char* kTemplatesKey = "Software\\Zolvex Software\\Cindervale FTP Daemon\\Templates";
inline constexpr const char* kLinksKey = "Software\\Zolvex Software\\Cindervale FTP Daemon\\Links";
inline constexpr const char* kDrivesKey = "System\\Drives";

}  // namespace qorda::store
