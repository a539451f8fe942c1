// Writes quenwick.lua for the build: qw_make_lua TEMPLATE FILE
#include <fstream>
#include <iostream>
#include <sstream>

#include "LuaTables.h"

int main(int argc, char** argv) {
    if (argc != 3) return std::cerr << "usage: qw_make_lua TEMPLATE FILE\n", 2;
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string lua = fillTemplate(text.str());
    if (!in || lua.empty()) return std::cerr << "no @TABLES@ line in " << argv[1] << "\n", 1;
    // Binary: the same bytes whichever platform builds it.
    std::ofstream out(argv[2], std::ios::binary);
    out << lua;
    return out.flush() ? 0 : (std::cerr << "cannot write " << argv[2] << "\n", 1);
}
