#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Help.h"

namespace {

std::vector<std::string> splitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        lines.push_back(text.substr(pos, end - pos));
    return lines;
}

}  // namespace

TEST(Help, FirstGroupAsUsersSeeIt) {
    const std::string expected =
        "General options\r\n"
        "  -h, --help                       Display this help\r\n"
        "  -v, --version                    Display Quenwick Hardware Controller version\r\n"
        "  -s, --suspend                    Don't start capturing immediately\r\n"
        "  -n, --index=<n>                  Open the attached plim #n (zero-based index)\r\n"
        "\r\n"
        "Transport options\r\n";
    EXPECT_EQ(getHelpString().substr(0, expected.size()), expected);
}

// Every line of the real table: CR LF only, no TABs, each help text in column 35,
// one line per row, an empty line before every title but the first.
TEST(Help, LayoutOfEveryRow) {
    const std::string text = getHelpString();
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text.find('\t'), std::string::npos);
    std::vector<std::string> lines = splitCrLf(text);
    size_t lineBytes = 0;
    for (const auto& line : lines) lineBytes += line.size() + 2;
    EXPECT_EQ(lineBytes, text.size()) << "a bare CR or LF";

    size_t i = 0;
    for (const SwitchInfo& row : CmdLineSwitchTable::instance().rows()) {
        if (row.isTitle() && i > 0) {
            EXPECT_EQ(lines.at(i++), "");
        }
        const std::string& line = lines.at(i++);
        if (row.isTitle()) {
            EXPECT_EQ(line, row.help);
            continue;
        }
        EXPECT_EQ(line.substr(0, 3), "  -") << line;
        EXPECT_EQ(line.substr(33, 2), "  ") << line;
        EXPECT_EQ(line.substr(35), row.help) << line;
    }
    EXPECT_EQ(i, lines.size());
}

// Name lists of 40 characters and more do not widen the column; they wrap once
// their line reaches it.
TEST(Help, WideNamesWrap) {
    static const std::string w39(37, 'a'), w40(38, 'b'), w41(39, 'c');
    const SwitchInfo rows[] = {
        {0, {}, nullptr, "T"},
        {1, {w39.c_str()}, nullptr, "thirty-nine"},
        {2, {w40.c_str()}, nullptr, "forty"},
        {3, {"x", w41.c_str()}, "<v>", "wider"},
    };
    const std::string pad43(43, ' ');
    EXPECT_EQ(getHelpString(CmdLineSwitchTable(rows)),
              "T\r\n"
              "  --" + w39 + "  thirty-nine\r\n"
              "  --" + w40 + " forty\r\n"
              "  -x, --" + w41 + "=<v>\r\n" + pad43 + "wider\r\n");

    // Nothing narrow enough: the column is 4 and every row wraps.
    const SwitchInfo wideOnly[] = {{2, {w40.c_str()}, nullptr, "forty"}};
    EXPECT_EQ(getHelpString(CmdLineSwitchTable(wideOnly)), "  --" + w40 + "\r\n    forty\r\n");
}
