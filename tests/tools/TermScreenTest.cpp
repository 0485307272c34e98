// The terminal's screen on a terminal 10 columns wide: taking the typed line
// off (before an answer or a message is printed) must clear every row that
// it and the unfinished answer line take, and no more.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "term/TermScreen.h"

namespace tesmo::sim {
namespace {

struct WrapCase {
    const char* label;
    std::string answer;  // the unfinished answer line the typed line follows
    std::string typed;
    std::string takeOff;  // what the redraw starts with
};

const WrapCase kCases[] = {
    {"one_row", "", "abc", "\r\x1b[J"},
    {"a_full_row_keeps_the_cursor_on_it", "", "abcdefghij", "\r\x1b[J"},
    {"typed_line_wrapped_once", "", "abcdefghijk", "\x1b[1A\r\x1b[J"},
    {"answer_and_typed_line_wrapped_twice", "0123456", "abcdefghijklmn", "\x1b[2A\r\x1b[J0123456"},
    {"characters_not_bytes", "", "\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4",
     "\r\x1b[J"},
};

TEST(TermScreenTest, TakingTheTypedLineOffClearsEveryRowItTakes)
{
    for (const WrapCase& c : kCases) {
        SCOPED_TRACE(c.label);
        char* data = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&data, &size);
        ASSERT_NE(out, nullptr);
        {
            TermScreen screen(out, true, [] { return 10; });
            screen.Answer({reinterpret_cast<const std::uint8_t*>(c.answer.data()), c.answer.size()});
            screen.Typing(c.typed);
            std::size_t before = size;
            screen.Message("m");
            EXPECT_EQ(std::string(data + before, size - before).substr(0, c.takeOff.size()), c.takeOff);
        }
        std::fclose(out);
        std::free(data);
    }
}

}  // namespace
}  // namespace tesmo::sim
