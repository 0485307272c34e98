// The output of a terminal session, shared by the port's answers (printed
// from the reader's thread as they arrive), the session's own messages and,
// on a terminal, the line being typed. The typed line stays last on the
// screen: before an answer or a message is printed it is taken off, and put
// back after, so answers and typing never mix on one line. An answer's
// unfinished last line is what the typed line follows.
//
// A typed line longer than the screen is wide wraps onto further rows; all
// of them are taken off, so the screen's width is asked for each time.
//
// Without a terminal (output to a pipe or a file) nothing is redrawn: the
// answers are written as they came, each message on a line of its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <span>
#include <string>

namespace tesmo::sim {

class TermScreen {
public:
    // `columns` gives the screen's width; by default the terminal's of `out`.
    TermScreen(std::FILE* out, bool showsTyping, std::function<int()> columns = {});

    void Answer(std::span<const std::uint8_t> bytes);
    // Whole lines of the session's own; a missing last line end is added.
    void Message(const std::string& text);
    // The line being typed changed (only with showsTyping).
    void Typing(const std::string& text);
    // The typed line was sent or taken as a command: it stays on the
    // screen when `keep`, else it is taken off. Without showsTyping a kept
    // line is written as a line of its own (a transcript's local echo).
    void LineEntered(const std::string& text, bool keep);
    // Takes the typed line off and ends an unfinished answer line, so that
    // what is printed after the session starts on a line of its own.
    void Finish();

private:
    void Write(const std::string& text);
    void TakeTypingOff();
    void PutTypingBack();  // and flushes

    std::mutex mutex_;
    std::FILE* out_;
    bool showsTyping_;
    std::function<int()> columns_;
    std::string unfinished_;  // the answers' last line so far
    std::string typed_;
};

}  // namespace tesmo::sim
