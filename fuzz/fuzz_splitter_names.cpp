// Names of every shape through the splitter's name handling: the series name is
// always base + "-NN" + extension, the two parts give back the name, and the
// extension is a chain of suffixes of the last path component.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transport/OutputFileSplitter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view name(reinterpret_cast<const char*>(data), size);

    size_t dot = OutputFileSplitter::findExtension(name);
    std::string_view base = name.substr(0, dot);
    std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot);
    if (dot != std::string_view::npos) {
        if (name[dot] != '.' || extension.find_first_of("/\\") != std::string_view::npos) abort();
        if (dot > 0 && name[dot - 1] == '.') abort();  // the chain would go on
    } else {
        size_t last = name.find_last_of("./\\");
        if (last != std::string_view::npos && name[last] == '.') abort();
    }

    OutputFileSplitter splitter;
    splitter.init(1, kNoSplit, name);
    for (const char* index : {"-00", "-01", "-02"}) {
        std::string expected = std::string(base) + index + std::string(extension);
        if (splitter.fileName() != expected) abort();
        if (!splitter.onWritten(1)) abort();
    }
    return 0;
}
