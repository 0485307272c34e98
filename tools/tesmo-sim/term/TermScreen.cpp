#include "term/TermScreen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace tesmo::sim {

namespace {

constexpr int kDefaultColumns = 80;

int TerminalColumns(std::FILE* out)
{
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kDefaultColumns;
    return size.ws_col;
}

// Screen columns of UTF-8 text, one a character (continuation bytes take
// none).
std::size_t ColumnsOf(const std::string& text)
{
    std::size_t columns = 0;
    for (unsigned char c : text) columns += (c & 0xC0) != 0x80;
    return columns;
}

}  // namespace

TermScreen::TermScreen(std::FILE* out, bool showsTyping, std::function<int()> columns)
    : out_(out), showsTyping_(showsTyping), columns_(std::move(columns))
{
    if (!columns_) columns_ = [out] { return TerminalColumns(out); };
}

void TermScreen::Write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), out_); }

void TermScreen::TakeTypingOff()
{
    if (!showsTyping_) return;
    // Up to the first row that the unfinished answer and the typed line
    // take, to its start, and everything from there cleared. A row filled to
    // its last column keeps the cursor on it until the next character.
    std::size_t length = ColumnsOf(unfinished_) + ColumnsOf(typed_);
    std::size_t width = static_cast<std::size_t>(std::max(columns_(), 1));
    std::size_t rowsAbove = length == 0 ? 0 : (length - 1) / width;
    std::string up = rowsAbove ? "\x1b[" + std::to_string(rowsAbove) + "A" : "";
    Write(up + "\r\x1b[J" + unfinished_);
}

void TermScreen::PutTypingBack()
{
    if (showsTyping_) Write(typed_);
    std::fflush(out_);
}

void TermScreen::Answer(std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(mutex_);
    std::string text(bytes.begin(), bytes.end());
    TakeTypingOff();
    Write(text);
    auto lineEnd = text.find_last_of('\n');
    unfinished_ = lineEnd == std::string::npos ? unfinished_ + text : text.substr(lineEnd + 1);
    PutTypingBack();
}

void TermScreen::Message(const std::string& text)
{
    std::lock_guard lock(mutex_);
    TakeTypingOff();
    // A message starts a line of its own: the answer's unfinished line ends.
    if (!unfinished_.empty()) Write("\n");
    unfinished_.clear();
    Write(text);
    if (!text.empty() && text.back() != '\n') Write("\n");
    PutTypingBack();
}

void TermScreen::Typing(const std::string& text)
{
    std::lock_guard lock(mutex_);
    TakeTypingOff();
    typed_ = text;
    PutTypingBack();
}

void TermScreen::LineEntered(const std::string& text, bool keep)
{
    std::lock_guard lock(mutex_);
    if (showsTyping_) {
        // Kept, the line is on the screen already and only needs its end.
        if (keep) Write("\n");
        else TakeTypingOff();
    } else if (keep) {
        if (!unfinished_.empty()) Write("\n");
        Write(text + "\n");
    }
    if (keep) unfinished_.clear();
    typed_.clear();
    PutTypingBack();
}

void TermScreen::Finish()
{
    std::lock_guard lock(mutex_);
    TakeTypingOff();
    if (!unfinished_.empty()) Write("\n");
    unfinished_.clear();
    typed_.clear();
    std::fflush(out_);
}

}  // namespace tesmo::sim
