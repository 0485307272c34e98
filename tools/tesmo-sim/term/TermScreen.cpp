#include "term/TermScreen.h"

namespace tesmo::sim {

TermScreen::TermScreen(std::FILE* out, bool showsTyping) : out_(out), showsTyping_(showsTyping) {}

void TermScreen::Write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), out_); }

void TermScreen::TakeTypingOff()
{
    // Back to the start of the screen line, cleared: the unfinished answer
    // and the typed line were on it.
    if (showsTyping_) Write("\r\x1b[K" + unfinished_);
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
