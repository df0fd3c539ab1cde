#pragma once

// The name this computer shows to phones: the DNS-SD service name and the
// name in the summary.

#include <filesystem>
#include <string>
#include <string_view>

namespace tallowick {

// Where systemd keeps the user-chosen "pretty" host name.
inline constexpr std::string_view kMachineInfoPath = "/etc/machine-info";

// The pretty host name (PRETTY_HOSTNAME in `machineInfo`) when it is set and
// not blank, else the kernel host name; every ".local" removed from it. Falls
// back to the host name when removing ".local" leaves the pretty name empty,
// and to "localhost" when both are empty. Never throws; an unreadable or
// malformed file counts as no pretty name.
std::string computerName(const std::filesystem::path& machineInfo = kMachineInfoPath);

// The value of PRETTY_HOSTNAME in the text of a machine-info file (an
// environment-style file: KEY=VALUE lines, values optionally in single or
// double quotes, backslash escapes inside double quotes, "#" comments). The
// last assignment wins. Empty when the key is absent.
std::string prettyHostnameFromMachineInfo(std::string_view text);

// `name` with every occurrence of ".local" removed.
std::string removingLocalSuffixes(std::string name);

}  // namespace tallowick
