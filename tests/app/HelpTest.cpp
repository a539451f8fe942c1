#include <gtest/gtest.h>

#include <string>

#include "app/Help.h"

// The real table's bytes are pinned end to end (tests/e2e/test_cli.py); here the
// layout rules on a made-up table. The column is set by the widest name list under
// 40 characters; wider lists do not widen it, they wrap once their line reaches it.
// CR LF everywhere, an empty line before every title but the first.
TEST(Help, ColumnAndWrapRules) {
    static const std::string w39(37, 'a'), w40(38, 'b'), w41(39, 'c');
    const SwitchInfo rows[] = {
        {0, {}, nullptr, "T"},
        {1, {w39.c_str()}, nullptr, "thirty-nine"},
        {2, {w40.c_str()}, nullptr, "forty"},
        {0, {}, nullptr, "U"},
        {3, {"x", w41.c_str()}, "<v>", "wider"},
    };
    const std::string pad43(43, ' ');
    EXPECT_EQ(getHelpString(CmdLineSwitchTable(rows)),
              "T\r\n"
              "  --" + w39 + "  thirty-nine\r\n"
              "  --" + w40 + " forty\r\n"
              "\r\nU\r\n"
              "  -x, --" + w41 + "=<v>\r\n" + pad43 + "wider\r\n");

    // Nothing narrow enough: the column is 4 and every row wraps.
    const SwitchInfo wideOnly[] = {{2, {w40.c_str()}, nullptr, "forty"}};
    EXPECT_EQ(getHelpString(CmdLineSwitchTable(wideOnly)), "  --" + w40 + "\r\n    forty\r\n");
}
