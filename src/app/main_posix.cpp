#include "app/Program.h"
#include "foundation/Process.h"

int main(int argc, char** argv) {
    vek::sys::prepareProcess();
    return runProgram(std::vector<std::string>(argv, argv + argc));
}
