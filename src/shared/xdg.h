#pragma once
// Where the desktop keeps a user's files: the home folder, the XDG base
// directories and the user directories of `user-dirs.dirs` (Desktop,
// Downloads, ... under their localised names). Every part of the program
// that needs one of these asks here, so they all agree, also in odd
// environments (HOME unset, relative XDG variables).

#include <optional>
#include <string>
#include <string_view>

namespace tallowick::xdg {

// $HOME when it is an absolute path, else the password file's home of the
// current user; empty when neither is known.
std::string homeDirectory();

// $XDG_DATA_HOME when absolute, else home + "/.local/share"; empty when
// there is no home. (The XDG rules ignore relative values.)
std::string dataHome();
// $XDG_CONFIG_HOME when absolute, else home + "/.config"; empty without home.
std::string configHome();

// The storage folder of the agent and the commands: dataHome() +
// "/Tallowick"; empty without home.
std::string defaultStorageDirectory();

// The user directories the program knows, by their user-dirs.dirs keys.
enum class UserDirectory { Desktop, Download, Pictures, Documents, Videos };

// The key in user-dirs.dirs ("DESKTOP" for XDG_DESKTOP_DIR) and the English
// folder name used when the file does not set it ("Desktop", "Downloads",
// "Pictures", "Documents", "Videos").
std::string_view userDirectoryKey(UserDirectory which);
std::string_view userDirectoryFallbackName(UserDirectory which);

// The value of XDG_<KEY>_DIR in the text of a user-dirs.dirs file: the
// quotes removed, backslash escapes undone, a leading "$HOME" replaced by
// `home`. No value when the key is absent or its value is neither absolute
// nor relative to $HOME. The last assignment wins.
std::optional<std::string> userDirectoryFromText(std::string_view text, std::string_view key,
                                                 const std::string& home);

// The folder of `which` from configHome() + "/user-dirs.dirs", else
// home + "/" + its English name. Says nothing about whether it exists.
// Empty without home.
std::string userDirectory(UserDirectory which);

}  // namespace tallowick::xdg
