#include "app/Program.h"
#include "foundation/Process.h"
#include "foundation/Win32.h"

int wmain(int argc, wchar_t** argv) {
    vek::sys::prepareProcess();
    std::vector<std::string> args;
    args.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(vek::win::narrow(argv[i], wcslen(argv[i])));
    return runProgram(args);
}
