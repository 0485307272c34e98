// Keys from a terminal in raw mode made into lines: characters are added,
// backspace (DEL or Ctrl-H) takes back the last one (a whole UTF-8
// character), Ctrl-U clears the line, Enter (CR, LF or CR LF) ends it and
// Ctrl-D on an empty line ends the input. Escape sequences (arrow keys and
// the like) are skipped: there is no cursor to move, only an end to type at.
//
// Pure: no I/O.
#pragma once

#include <string>

namespace tesmo::sim {

class LineEditor {
public:
    enum class Outcome { Unchanged, Edited, LineDone, EndOfInput };

    Outcome Key(char key);
    // The line being typed.
    const std::string& text() const { return text_; }
    // The line Key reported done; the editor starts a new one.
    std::string TakeLine();

private:
    enum class Escape { None, Started, Sequence } escape_ = Escape::None;
    std::string text_;
    bool afterCr_ = false;
};

}  // namespace tesmo::sim
