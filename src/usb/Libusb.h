#pragma once
// The one include of libusb's public header. On Windows it pulls in <windows.h>
// and <winsock.h> itself, so a *_win32.cpp file that needs foundation/Win32.h too
// must include that first (winsock2 before winsock).

#include <libusb.h>
