// Writes the texts made from the switch table, for the build:
//   qw_from_switch_table completion FILE | man TEMPLATE FILE
// The manual's template has an @OPTIONS@ line where the options go.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "FromSwitchTable.h"

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "completion" && argc == 3) {
        std::ofstream(argv[2], std::ios::binary) << bashCompletion();
        return 0;
    }
    if (what == "man" && argc == 4) {
        std::ifstream in(argv[2], std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string page = text.str();
        size_t at = page.find("@OPTIONS@\n");
        if (!in || at == std::string::npos) return std::cerr << "no @OPTIONS@ line in " << argv[2] << "\n", 1;
        std::ofstream(argv[3], std::ios::binary) << page.replace(at, 10, manOptions());
        return 0;
    }
    std::cerr << "usage: qw_from_switch_table completion FILE | man TEMPLATE FILE\n";
    return 2;
}
