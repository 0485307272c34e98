#include "term/InputLines.h"

#include <utility>

namespace tesmo::sim {

bool InputLines::Take(std::string_view bytes, const LineHandler& onLine)
{
    return edited_ ? Edit(bytes, onLine) : Split(bytes, onLine);
}

void InputLines::Finish(const LineHandler& onLine)
{
    if (!pending_.empty()) onLine(std::exchange(pending_, {}));
}

bool InputLines::Split(std::string_view bytes, const LineHandler& onLine)
{
    for (char byte : bytes) {
        if (byte != '\n') {
            pending_ += byte;
            continue;
        }
        if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
        if (!onLine(std::exchange(pending_, {}))) return false;
    }
    return true;
}

bool InputLines::Edit(std::string_view keys, const LineHandler& onLine)
{
    // The typed line is drawn once for what one read brought (a paste is
    // not drawn key by key), and before each line it completes.
    bool edited = false;
    for (char key : keys) {
        auto outcome = editor_.Key(key);
        if (outcome == LineEditor::Outcome::Edited) edited = true;
        if (outcome == LineEditor::Outcome::EndOfInput) return false;
        if (outcome != LineEditor::Outcome::LineDone) continue;
        if (edited) screen_.Typing(editor_.text());
        edited = false;
        if (!onLine(editor_.TakeLine())) return false;
    }
    if (edited) screen_.Typing(editor_.text());
    return true;
}

}  // namespace tesmo::sim
