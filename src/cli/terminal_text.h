#pragma once
// File names are data: a name may hold control characters or whole escape
// sequences, which a terminal would obey. Everything that prints a name
// for people passes it through here first.

#include <string>
#include <string_view>

namespace tallowick::cli {

// `text` with every control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 written as "\xNN", and backslashes doubled so the
// escapes cannot be forged; everything else as it is.
std::string escapedForTerminal(std::string_view text);

}  // namespace tallowick::cli
