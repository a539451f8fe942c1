#include <cstdio>

#include "Extcap.h"
#include "foundation/Process.h"

int main(int argc, char** argv) {
    vek::sys::prepareProcess();
    return runExtcap(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
