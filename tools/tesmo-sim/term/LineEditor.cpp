#include "term/LineEditor.h"

namespace tesmo::sim {

namespace {

constexpr char kCtrlD = 0x04, kCtrlH = 0x08, kCtrlU = 0x15, kEsc = 0x1b, kDel = 0x7f;

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

LineEditor::Outcome LineEditor::Key(char key)
{
    bool afterCr = afterCr_;
    afterCr_ = key == '\r';
    if (escape_ == Escape::Started) {
        // ESC [ ... and ESC O x take more bytes; any other ESC x is done.
        escape_ = key == '[' || key == 'O' ? Escape::Sequence : Escape::None;
        return Outcome::Unchanged;
    }
    if (escape_ == Escape::Sequence) {
        if (key >= 0x40 && key <= 0x7e) escape_ = Escape::None;  // the final byte
        return Outcome::Unchanged;
    }
    switch (key) {
    case '\r': return Outcome::LineDone;
    case '\n': return afterCr ? Outcome::Unchanged : Outcome::LineDone;
    case kEsc: escape_ = Escape::Started; return Outcome::Unchanged;
    case kCtrlD: return text_.empty() ? Outcome::EndOfInput : Outcome::Unchanged;
    case kCtrlU: text_.clear(); return Outcome::Edited;
    case kCtrlH:
    case kDel:
        if (text_.empty()) return Outcome::Unchanged;
        while (text_.size() > 1 && IsUtf8Continuation(text_.back())) text_.pop_back();
        text_.pop_back();
        return Outcome::Edited;
    default:
        if (static_cast<unsigned char>(key) < 0x20) return Outcome::Unchanged;  // other control keys
        text_ += key;
        return Outcome::Edited;
    }
}

std::string LineEditor::TakeLine()
{
    std::string line;
    line.swap(text_);
    return line;
}

}  // namespace tesmo::sim
