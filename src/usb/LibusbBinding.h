#pragma once
// How a program reaches libusb. Linux programs link the system's libusb (the
// package manager guarantees it), and test programs the simulator. The Windows
// programs load libusb-1.0.dll at run time instead, the first time a USB mode
// needs it: every other mode runs without the DLL, and a USB mode without it
// fails with a line that says where it was looked for and where to get it.
//
// The program links exactly one implementation (qw_libusb_linked or
// qw_libusb_dll, chosen in cmake/Dependencies.cmake).

namespace vek::io {

// The DLL's file name, as the user must supply it.
inline constexpr const char* kLibusbDllName = "libusb-1.0.dll";

// True when libusb is loaded at run time, so its start waits for a USB mode.
bool libusbLoadsAtRunTime();

// Makes every libusb call this program uses callable. Main thread. Linked:
// always true. Loaded: the first call looks for the DLL beside the program,
// then on the system's search path, and resolves each function; a failure is
// kept and given again by later calls, false with a text error naming the DLL.
bool loadLibusb();

}  // namespace vek::io
