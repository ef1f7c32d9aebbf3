// <windows.h> for the backend. Its A/W name macros would rename the seam's
// CopyFile, MoveFile and DeleteFile members in these files only, so they go.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#undef CopyFile
#undef MoveFile
#undef DeleteFile
