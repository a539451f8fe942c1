#include "app/Help.h"

#include <cstdio>
#include <cstring>

#include "foundation/Format.h"

namespace {

constexpr const char* kArchitecture = "amd64";
constexpr const char* kBuildSuffix = "";
constexpr const char* kLineEnd = "\r\n";
// Name lists this wide or wider do not set the column; they wrap instead.
constexpr size_t kMaxColumnWidth = 40;
constexpr size_t kColumnGap = 4;

std::string nameList(const SwitchInfo& row) {
    std::string line;
    for (size_t i = 0; i < row.nameCount(); ++i) {
        if (i > 0) line += ", ";
        line += std::strlen(row.names[i]) == 1 ? "-" : "--";
        line += row.names[i];
    }
    if (row.takesValue()) {
        line += '=';
        line += row.placeholder;
    }
    return line;
}

size_t nameColumnWidth(const CmdLineSwitchTable& table) {
    size_t widest = 0;
    for (const SwitchInfo& row : table.rows()) {
        if (row.isTitle()) continue;
        size_t width = nameList(row).size();
        if (width < kMaxColumnWidth && width > widest) widest = width;
    }
    return widest;
}

}  // namespace

std::string getVersionString() {
    return vek::sl::formatString("Quenwick Hardware Controller v%d.%d.%d (%s%s)\n", QW_VERSION_MAJOR, QW_VERSION_MINOR,
                                 QW_VERSION_PATCH, kArchitecture, kBuildSuffix);
}

std::string getHelpString(const CmdLineSwitchTable& table) {
    // Two spaces of indent, the widest name list, two spaces of gap.
    const size_t column = nameColumnWidth(table) + kColumnGap;
    std::string text;
    for (const SwitchInfo& row : table.rows()) {
        std::string line;
        if (row.isTitle()) {
            if (!text.empty()) text += kLineEnd;
            line = row.help;
        } else {
            line = "  " + nameList(row);
            if (line.size() >= column) {
                line += kLineEnd;
                line.append(column, ' ');
            } else {
                line.resize(column, ' ');
            }
            line += row.help;
        }
        text += line;
        text += kLineEnd;
    }
    return text;
}

void printVersion() { std::printf("%s", getVersionString().c_str()); }

void printHelp() {
    std::printf("%sUsage: quenwick-hwc [<options>...]\n%s", getVersionString().c_str(), getHelpString().c_str());
}
