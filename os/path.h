// Path arithmetic on plain text paths, following the target system's string-path rules.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rcpinstall::os {

// Appends one component with exactly one "/" between the two parts. Never normalises:
// ".." stays as written. An empty base gives the component itself.
std::string appendComponent(std::string_view base, std::string_view component);
// The same for a std::string or literal base (without these the optional overload below
// would make such calls ambiguous).
std::string appendComponent(const std::string& base, std::string_view component);
std::string appendComponent(const char* base, std::string_view component);

// Absent in, absent out: a path built from an absent part is absent.
std::optional<std::string> appendComponent(const std::optional<std::string>& base,
                                           std::string_view component);

// The path less its last component. "/a" -> "/", "/" -> "/", "a" -> "", a trailing "/"
// is ignored ("/a/b/" -> "/a").
std::string deletingLastComponent(std::string_view path);

// The last component; a trailing "/" is ignored; "/" gives "/".
std::string lastComponent(std::string_view path);

// The "/"-separated components; a leading "/" is its own first component ("/a/b" ->
// {"/", "a", "b"}) and so is a trailing one ("a/b/" -> {"a", "b", "/"}), as the target
// system splits paths. Empty components ("a//b") are dropped.
std::vector<std::string> components(std::string_view path);

// "~" or "~/..." expanded with the home directory of the effective user (HOME first);
// any other path unchanged.
std::string expandTilde(std::string_view path);

// The home directory of the effective user: HOME, else the password database.
// The path as an absolute one: a relative path is appended to the working directory (not
// normalised); none when the working directory cannot be had.
std::optional<std::string> absolutePath(const std::string& path);

std::string homeDirectory();

}  // namespace rcpinstall::os
