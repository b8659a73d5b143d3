// What decides whether a program may be started with an administrator's rights: no standard
// user may be able to change it, its folder or a folder above it.
#pragma once

#include <string>

namespace platform::windows {

// Empty when this process's user, taken without any administrator group, can neither change
// `program` nor put a file beside it, nor delete, rename or re-permission it or any folder
// above it; otherwise a one-line reason naming what could be changed. A program that cannot
// be checked counts as changeable.
std::string StandardUserCanChange(const std::string& program);

// What a user without administrator rights does to transfer the firmware: start Palvex as
// administrator, or install it for all users.
std::string RunAsAdministratorAdvice();

}  // namespace platform::windows
