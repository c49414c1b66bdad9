#pragma once
// The system's Windows headers as the project's Windows files include them: lean, without
// the min/max macros, and without the macros that would rename names of the program's own.
// Those headers map SetPort, FindText, ChooseColor and FindWindow to their ...A/...W
// functions by macro, so a declaration of the program's own seen after them (TComPort's
// SetPort, the find dialog's FindText, the prompter's ChooseColor) would silently change
// its name or fail to compile. Include this instead of <windows.h> and include no system
// header of Windows after it: the macros are gone only from here on.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <mmsystem.h>
#include <shlobj.h>

#undef SetPort
#undef FindText
#undef ChooseColor
#undef FindWindow
