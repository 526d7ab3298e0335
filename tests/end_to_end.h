// What the end-to-end tests share.
#pragma once

#include <regex>
#include <string>

namespace tarnwick::testing {

inline const std::string kUsage =
    "USAGE: tarnwick [/B|/U] FQDN hosts_file\r\n"
    "\r\n"
    "   /B   - Block\r\n"
    "   /U   - Unblock\r\n"
    "   FQDN - DNS address to block / unblock.  eg. ads.example.com\r\n"
    "   hosts_file is the full path to your system hosts file.\r\n"
    "              usually %SYSTEMROOT%\\system32\\drivers\\etc\\hosts\r\n"
    "\r\n";

inline const std::string kHosts = "127.0.0.1 localhost\n";

// The names the system gives the programs' files.
#ifdef _WIN32
inline const std::string kToolModule = "tarnwick\\.exe";
inline const std::string kProbeModule = "fault_probe\\.exe";
#else
inline const std::string kToolModule = "tarnwick";
inline const std::string kProbeModule = "fault_probe";
#endif

// `text` with the characters that mean something in a pattern escaped.
inline std::string literally(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// "Exception KIND in module tarnwick at XXXXXXXX." LF TEXT "." CR LF
inline std::regex report_pattern(const std::string& kind, const std::string& text) {
  return std::regex("Exception " + kind + " in module " + kToolModule + " at [0-9A-F]{8}\\.\n" +
                    literally(text) + "\\.\r\n");
}

}  // namespace tarnwick::testing
