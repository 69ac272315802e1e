// Windows 7 or later; mingw-w64 or Windows SDK headers; included ahead of any other Windows header.
#pragma once

// windows.h with the settings every Win32 file here shares; the other Windows
// headers (aclapi.h, bcrypt.h, shellapi.h) need what it declares.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
