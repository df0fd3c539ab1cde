#pragma once

// Path text and the few file-system questions about paths that several
// parts ask: the one place that says what a trailing "/" or a ".." means.

#include <string>
#include <string_view>

namespace tallowick {

// Both ignore a trailing "/", so "/a/b/" is the folder b in /a, and both
// take the text as written (no "." or ".." resolved).
//
// The folder holding `path`: "/a/b" -> "/a", "/a" -> "/", "/" -> "/",
// "a" -> ".".
std::string parentOf(std::string_view path);

// The name at the end of `path`: "/a/b" -> "b", "b" -> "b", "/" -> "/",
// "" -> "". The view points into `path`.
std::string_view lastComponent(std::string_view path);

// `path` with empty and "." components dropped and each ".." removing the
// component before it, made absolute with a leading "/" and no trailing one:
// "/a//b/./c/" -> "/a/b/c", "/a/../.." -> "/". Links are not looked at.
std::string lexicallyNormal(std::string_view path);

// The absolute path with every symbolic link resolved (dangling ones too),
// "." and ".." removed and no trailing "/"; the part below a component that
// does not exist is taken as written, and a relative path is taken from the
// working folder. Empty for an empty path and for a link loop.
std::string canonicalPath(std::string_view path);

// True when `path` is `tree` or lies below it ("/a/b" is below "/a", "/ab"
// is not). Plain text comparison: give both in the same normal form.
bool isAtOrBelow(std::string_view path, std::string_view tree);

// Writes all of `data` to `fd`, retrying short and interrupted writes. False
// on the first error (errno says which).
bool writeAll(int fd, std::string_view data);

}  // namespace tallowick
