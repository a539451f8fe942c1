#include "FromSwitchTable.h"

#include "app/CmdLineSwitchTable.h"
#include "app/CmdLineValueMaps.h"

namespace {

std::string spelled(const char* name) { return (name[1] ? "--" : "-") + std::string(name); }

// The words a switch's value can be, where there is a short list of them.
std::string valueWords(uint32_t kind) {
    auto join = [](const std::vector<std::string_view>& words) {
        std::string out;
        for (std::string_view w : words) out += (out.empty() ? "" : " ") + std::string(w);
        return out;
    };
    switch (kind) {
        case kSwitchSerParity: return join(SerialParityStringTable::instance().names());
        case kSwitchSerStop: return join(SerialStopBitsStringTable::instance().names());
        case kSwitchSpiMode: return "0 1 2 3";
        case kSwitchSpiData: return "4 8 12 16";
        case kSwitchSerFlow: case kSwitchSerDtr: case kSwitchSerRts: return "0 1";
        default: return {};
    }
}

bool takesFile(uint32_t kind) {
    return kind == kSwitchIn || kind == kSwitchOut || kind == kSwitchEzusb || kind == kSwitchFirmware;
}

// roff needs its hyphens escaped to print them as typed.
std::string roff(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '-' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string bashCompletion() {
    std::string words, cases;
    for (const SwitchInfo& row : CmdLineSwitchTable::instance().rows()) {
        if (row.isTitle()) continue;
        std::string names;
        for (size_t i = 0; i < row.nameCount(); ++i) {
            words += " " + spelled(row.names[i]);
            names += (names.empty() ? "" : "|") + spelled(row.names[i]);
        }
        if (!row.takesValue()) continue;
        std::string action;
        if (std::string values = valueWords(row.kind); !values.empty())
            action = "COMPREPLY=($(compgen -W \"" + values + "\" -- \"$cur\"))";
        else if (takesFile(row.kind))
            action = "COMPREPLY=($(compgen -f -- \"$cur\"))";
        else if (row.kind == kSwitchSerial)
            action = "COMPREPLY=($(compgen -W \"$(ls /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* 2>/dev/null)\" -- \"$cur\"))";
        else
            action = "COMPREPLY=()";
        cases += "        " + names + ") " + action + "; return ;;\n";
    }
    return "# bash completion for quenwick-hwc, made from its switch table\n"
           "_quenwick_hwc() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    case \"$prev\" in\n" +
           cases +
           "    esac\n"
           "    COMPREPLY=($(compgen -W \"" + words.substr(1) + "\" -- \"$cur\"))\n"
           "}\n"
           "complete -F _quenwick_hwc quenwick-hwc\n";
}

std::string manOptions() {
    std::string out;
    for (const SwitchInfo& row : CmdLineSwitchTable::instance().rows()) {
        if (row.isTitle()) {
            out += ".SS " + roff(row.help) + "\n";
            continue;
        }
        std::string names;
        for (size_t i = 0; i < row.nameCount(); ++i)
            names += (names.empty() ? "\\fB" : ", \\fB") + roff(spelled(row.names[i])) + "\\fR";
        if (row.takesValue()) names += " \\fI" + roff(row.placeholder) + "\\fR";
        out += ".TP\n" + names + "\n" + roff(row.help) + "\n";
        if (std::string values = valueWords(row.kind); !values.empty()) out += "Values: " + roff(values) + ".\n";
    }
    return out;
}
