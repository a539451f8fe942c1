#pragma once
// How the libusb entry points leave the shared library: exported from the DLL,
// default visibility in the .so (everything else is hidden). Harmless in the
// static library.
#ifdef QWSIM_DLLEXPORT
#define QWSIM_API __declspec(dllexport)
#else
#define QWSIM_API __attribute__((visibility("default")))
#endif
