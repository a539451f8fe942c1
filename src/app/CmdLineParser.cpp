#include "app/CmdLineParser.h"

#include "app/CmdLineValues.h"
#include "foundation/Error.h"
#include "foundation/Format.h"
#include "foundation/Utf.h"

using vek::err::setFormatStringError;

namespace {

// The character at `pos` for a message: a whole UTF-8 sequence, or, where the
// bytes are no UTF-8, the byte written as \xNN, so the message names what the
// user typed and still is valid UTF-8.
std::string characterAt(std::string_view text, size_t pos) {
    size_t end = pos;
    std::string out;
    vek::sl::appendUtf8(out, vek::sl::decodeUtf8(text, end));
    if (out == text.substr(pos, end - pos)) return out;
    return vek::sl::formatString("\\x%02x", static_cast<unsigned char>(text[pos]));
}

}  // namespace

bool CmdLineParser::parseArgument(std::string_view arg) {
    if (arg.size() >= 2 && arg[0] == '-') return arg[1] == '-' ? parseLong(arg.substr(2)) : parseShortGroup(arg);
    if (pendingKind_ == kSwitchNone) return true;
    if (!applySwitch(pendingKind_, arg)) return false;
    pendingKind_ = kSwitchNone;
    pendingName_.clear();
    return true;
}

bool CmdLineParser::checkPending() const { return pendingKind_ == kSwitchNone || failMissingValue(); }

bool CmdLineParser::failMissingValue() const {
    setFormatStringError("missing value for switch '%s'", pendingName_.c_str());
    return false;
}

bool CmdLineParser::parseLong(std::string_view body) {
    size_t end = 0;
    while (end < body.size() && body[end] != '=' && !isCSpace(body[end])) ++end;
    std::string_view name = body.substr(0, end);
    // "--tcp 5000" arriving as one argument leaves the value to the next one.
    std::string_view value = end < body.size() && !isCSpace(body[end]) ? body.substr(end + 1) : std::string_view{};

    const SwitchInfo* row = table_.findLong(name);
    if (row == nullptr) {
        setFormatStringError("unknown switch --%.*s", static_cast<int>(name.size()), name.data());
        return false;
    }
    if (pendingKind_ != kSwitchNone) return failMissingValue();
    if (row->takesValue()) return takeValue(*row, name, value);
    // A value given to a switch without one is handed on; most ignore it.
    return applySwitch(row->kind, value);
}

bool CmdLineParser::parseShortGroup(std::string_view arg) {
    for (size_t i = 1; i < arg.size(); ++i) {
        const SwitchInfo* row = table_.findShort(arg[i]);
        if (row == nullptr) {
            setFormatStringError("unknown switch -%s", characterAt(arg, i).c_str());
            return false;
        }
        if (!row->takesValue()) {
            if (!applySwitch(row->kind, {})) return false;
            continue;
        }
        std::string_view rest = arg.substr(i + 1);
        std::string_view value;
        if (!rest.empty() && !isCSpace(rest[0])) value = rest[0] == '=' ? rest.substr(1) : rest;
        if (pendingKind_ != kSwitchNone) return failMissingValue();
        return takeValue(*row, arg.substr(i, 1), value);
    }
    return true;
}

// A switch that needs a value: apply it, or wait for the next argument.
bool CmdLineParser::takeValue(const SwitchInfo& row, std::string_view name, std::string_view value) {
    if (!value.empty()) return applySwitch(row.kind, value);
    pendingKind_ = row.kind;
    pendingName_ = name;
    return true;
}

bool parseCommandLine(std::span<const std::string> args, Settings& settings) {
    CmdLineParser parser(settings);
    for (const std::string& arg : args)
        if (!parser.parseArgument(arg)) return false;
    return parser.checkPending() && validateSettings(parser);
}
