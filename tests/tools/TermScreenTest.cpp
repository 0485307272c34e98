// On a screen 10 columns wide, taking the typed line off (before a message is
// printed) must clear every row that it and the unfinished answer take.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "term/TermScreen.h"

namespace tesmo::sim {
namespace {

TEST(TermScreenTest, TakingTheTypedLineOffClearsEveryRowItTakes)
{
    struct Case {
        std::string answer, typed, takeOff;  // the unfinished answer line, the typed line, how the redraw starts
    } cases[] = {
        {"", "abc", "\r\x1b[J"},
        {"", "abcdefghij", "\r\x1b[J"},  // a full row keeps the cursor on it
        {"", "abcdefghijk", "\x1b[1A\r\x1b[J"},
        {"0123456", "abcdefghijklmn", "\x1b[2A\r\x1b[J0123456"},
        {"", "\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4",
         "\r\x1b[J"},  // 10 characters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        char* data = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&data, &size);
        {
            TermScreen screen(out, true, [] { return 10; });
            screen.Answer({reinterpret_cast<const std::uint8_t*>(c.answer.data()), c.answer.size()});
            screen.Typing(c.typed);  // flushed: `size` is current
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
