#pragma once
// How the libusb entry points leave the shared library. The .so hides everything
// else and exports these with default visibility; the DLL's exports come from
// sim/libusb-1.0.def, so the static library exports nothing on Windows.
#ifdef QWSIM_VISIBLE
#define QWSIM_API __attribute__((visibility("default")))
#else
#define QWSIM_API
#endif
