// What standard input brings, made into lines for the terminal session:
// through the line editor on a terminal (the typed line shown on the
// screen), split at line ends otherwise (a CR before the LF dropped).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "term/LineEditor.h"
#include "term/TermScreen.h"

namespace tesmo::sim {

class InputLines {
public:
    // Returns false when the session should end.
    using LineHandler = std::function<bool(const std::string&)>;

    InputLines(TermScreen& screen, bool edited) : screen_(screen), edited_(edited) {}

    // False when the input ended (Ctrl-D) or a line ended the session.
    bool Take(std::string_view bytes, const LineHandler& onLine);
    // The input ended: a last line without its end still counts.
    void Finish(const LineHandler& onLine);

private:
    bool Split(std::string_view bytes, const LineHandler& onLine);
    bool Edit(std::string_view keys, const LineHandler& onLine);

    TermScreen& screen_;
    bool edited_;
    LineEditor editor_;
    std::string pending_;
};

}  // namespace tesmo::sim
