// The explorer's two oracles against event sequences written by hand: each
// row is what an application saw (reads, purges, new handles, commands
// asked) and the step at which the oracle must complain, if any. A complaint
// one step early or late fails the row as much as a missing one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "explore/Oracles.h"

namespace tesmo::explore {
namespace {

constexpr int kNone = -1;  // no step may complain

using Bytes = std::vector<std::uint8_t>;

// `count` bytes of the counter from stream position `position` on: each
// aligned group of four bytes is its group number, little-endian.
Bytes Counter(std::uint64_t position, std::size_t count)
{
    Bytes bytes;
    for (std::uint64_t at = position; at < position + count; ++at) {
        bytes.push_back(static_cast<std::uint8_t>((at / 4) >> (8 * (at % 4))));
    }
    return bytes;
}

Bytes operator+(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// One thing the stream's reader saw: the bytes of a read, or a skip (a
// purge of the receive side, or a new handle).
struct StreamStep {
    bool skip = false;
    Bytes bytes;
};

StreamStep Read(const Bytes& bytes) { return {false, bytes}; }
StreamStep Read(std::uint64_t position, std::size_t count) { return {false, Counter(position, count)}; }
const StreamStep kSkip{true, {}};

struct StreamCase {
    std::string label;
    std::vector<StreamStep> steps;
    int complaintAt;  // the index of the step that must complain, or kNone
};

std::vector<StreamCase> StreamCases()
{
    std::vector<StreamCase> cases = {
        // On one handle: the stream continues exactly.
        {"one read from the first byte", {Read(0, 2000)}, kNone},  // group numbers of two bytes too
        {"a read of no bytes changes nothing", {Read(0, 5), Read(5, 0), Read(5, 7)}, kNone},
        {"before any skip the stream begins at its first byte", {Read(4, 8)}, 0},
        {"a gap of one byte", {Read(0, 8), Read(9, 4)}, 1},
        {"a gap of one group", {Read(0, 8), Read(12, 4)}, 1},
        {"a repeat of the last byte", {Read(0, 8), Read(7, 4)}, 1},
        {"a repeat of a whole read", {Read(0, 8), Read(0, 8)}, 1},
        {"two groups swapped inside one read", {Read(Counter(4, 4) + Counter(0, 4))}, 0},
        {"two groups swapped across reads", {Read(0, 4), Read(8, 4), Read(4, 4)}, 1},
        {"a group number's bytes big-endian", {Read(0, 1024), Read(Bytes{0, 0, 1, 0})}, 1},

        // After a skip: the position is found again and may only move on.
        {"after a skip, a later stretch", {Read(0, 8), kSkip, Read(100, 12), Read(112, 5)}, kNone},
        {"after a skip, the very next byte (nothing was dropped)", {Read(0, 8), kSkip, Read(8, 12)}, kNone},
        {"a first handle may begin at the first byte", {kSkip, Read(0, 12)}, kNone},
        {"after a skip, a stretch at phase 1 of its group", {Read(0, 8), kSkip, Read(401, 11), Read(412, 4)}, kNone},
        {"after a skip, a stretch at phase 2 of its group", {Read(0, 8), kSkip, Read(402, 11), Read(413, 4)}, kNone},
        {"after a skip, a stretch at phase 3 of its group", {Read(0, 8), kSkip, Read(403, 11), Read(414, 4)}, kNone},
        {"after a skip, a stretch of large group numbers", {kSkip, Read(4 * 0x01020304ull + 2, 12)}, kNone},
        {"after a skip, an earlier stretch", {Read(0, 40), kSkip, Read(20, 12)}, 2},
        {"after a skip, the last byte again", {Read(0, 40), kSkip, Read(39, 12)}, 2},
        {"a second skip keeps the first one's floor", {Read(0, 40), kSkip, kSkip, Read(30, 12)}, 3},
        {"a skip after the position was found again keeps the found one",
         {Read(0, 8), kSkip, Read(100, 12), kSkip, Read(105, 12)},
         4},
        {"once found again, the position is held exactly", {Read(0, 8), kSkip, Read(100, 12), Read(113, 4)}, 3},
        {"after a skip, bytes that are no stretch of the stream",
         {Read(0, 8), kSkip, Read(Counter(100, 6) + Counter(200, 6))},
         2},
        {"the first eleven bytes after a skip are judged", {Read(0, 40), kSkip, Read(20, 11)}, 2},

        // Too few bytes to locate are kept until enough come, and judged with them.
        {"too few bytes to locate, then the rest of the stretch",
         {Read(0, 8), kSkip, Read(50, 5), Read(55, 6), Read(61, 3)},
         kNone},
        {"too few bytes to locate, then bytes from elsewhere", {Read(0, 8), kSkip, Read(50, 5), Read(60, 11)}, 3},
        {"too few bytes to locate, then a skip and a later stretch",
         {Read(0, 8), kSkip, Read(8, 5), kSkip, Read(13, 12)},
         kNone},
        {"too few bytes to locate, then a skip and the same bytes again",
         {Read(0, 8), kSkip, Read(8, 5), kSkip, Read(8, 12)},
         4},
        {"too few bytes, all of them a repeat, then the stretch they begin",
         {Read(0, 40), kSkip, Read(36, 5), Read(41, 6)},
         3},
    };
    // Every split of one stretch into two reads, on the handle and after a skip.
    for (std::size_t cut = 0; cut <= 24; ++cut) {
        cases.push_back({"on the handle, reads cut at " + std::to_string(cut),
                         {Read(0, 3), Read(3, cut), Read(3 + cut, 24 - cut), Read(27, 4)},
                         kNone});
        cases.push_back({"after a skip, reads cut at " + std::to_string(cut),
                         {Read(0, 3), kSkip, Read(50, cut), Read(50 + cut, 24 - cut), Read(74, 4)},
                         kNone});
    }
    return cases;
}

TEST(ExplorerOraclesTest, StreamOracleComplainsAtTheFirstByteOutOfPlace)
{
    for (const StreamCase& c : StreamCases()) {
        SCOPED_TRACE(c.label);
        StreamOracle oracle;
        int complainedAt = kNone;
        std::string complaint;
        for (std::size_t i = 0; i < c.steps.size() && complainedAt == kNone; ++i) {
            const StreamStep& step = c.steps[i];
            if (step.skip) {
                oracle.Skipped();
                continue;
            }
            complaint = oracle.Delivered(step.bytes.data(), step.bytes.size());
            if (!complaint.empty()) complainedAt = static_cast<int>(i);
        }
        EXPECT_EQ(complainedAt, c.complaintAt) << complaint;
    }
}

// One thing the command instrument's reader saw or did.
enum class AnswerEvent {
    Ask,       // a write the instrument took: one answer is owed
    MaybeAsk,  // a write that failed after the instrument may have taken it
    Deliver,   // the bytes of one read
    Skip,      // a purge of the receive side, or a new handle
    Foreign,   // a byte of its own went to the instrument between commands
};

struct AnswerStep {
    AnswerEvent event;
    std::string bytes;  // Deliver only
};

const AnswerStep kAsk{AnswerEvent::Ask, ""};
const AnswerStep kMaybeAsk{AnswerEvent::MaybeAsk, ""};
const AnswerStep kPurge{AnswerEvent::Skip, ""};
const AnswerStep kForeign{AnswerEvent::Foreign, ""};
AnswerStep Deliver(std::string bytes) { return {AnswerEvent::Deliver, std::move(bytes)}; }

constexpr char kAnswer[] = "TESMO,Model 7";
constexpr char kError[] = "ERR -113,\"Undefined header\"\n";  // the instrument's answer to a garbled line

struct AnswerCase {
    const char* label;
    std::vector<AnswerStep> steps;
    int complaintAt;       // the index of the step that must complain, or kNone
    unsigned outstanding;  // answers still owed after the last step (rows without a complaint)
};

const AnswerCase kAnswerCases[] = {
    // Every ask gets one whole answer, in order.
    {"one ask, its answer", {kAsk, Deliver("TESMO,Model 7\n")}, kNone, 0},
    {"an answer cut over three reads", {kAsk, Deliver("TES"), Deliver("MO,Mod"), Deliver("el 7\n")}, kNone, 0},
    {"two answers in one read", {kAsk, kAsk, Deliver("TESMO,Model 7\nTESMO,Model 7\n")}, kNone, 0},
    {"an answer not yet come is still owed", {kAsk, kAsk, Deliver("TESMO,Model 7\nTESMO")}, kNone, 1},
    {"an answer nobody asked for", {Deliver("TESMO,Model 7\n")}, 0, 0},
    {"one ask, two answers in two reads", {kAsk, Deliver("TESMO,Model 7\n"), Deliver("TESMO,Model 7\n")}, 2, 0},
    {"one ask, two answers in one read", {kAsk, Deliver("TESMO,Model 7\nTESMO,Model 7\n")}, 1, 0},
    {"an answer with a byte changed", {kAsk, Deliver("TESMO,Model 8\n")}, 1, 0},
    {"two answers mixed", {kAsk, kAsk, Deliver("TESMO,MTESMO,Model 7\n")}, 2, 0},
    {"an empty line", {kAsk, Deliver("\n")}, 1, 0},

    // A purge may cut the line it falls into, and only that one.
    {"a purge forgets the partial line read before it",
     {kAsk, kAsk, Deliver("TESMO,Mo"), kPurge, Deliver("TESMO,Model 7\n")},
     kNone,
     1},
    {"the rest of a line cut by a purge", {kAsk, Deliver("TESMO,"), kPurge, Deliver("Model 7\n")}, kNone, 0},
    {"a purge that left only the line end", {kAsk, kPurge, Deliver("\n")}, kNone, 0},
    {"a cut line without a purge", {kAsk, Deliver("del 7\n")}, 1, 0},
    {"a cut line second after a purge", {kAsk, kAsk, kPurge, Deliver("del 7\n"), Deliver("del 7\n")}, 4, 0},
    {"a cut line after a whole one after a purge",
     {kAsk, kAsk, kPurge, Deliver("TESMO,Model 7\n"), Deliver("del 7\n")},
     4,
     0},
    {"after a purge, an answer's beginning is no cut", {kAsk, kPurge, Deliver("TESMO,Mod\n")}, 2, 0},
    {"after a purge, a line longer than the answer", {kAsk, kPurge, Deliver("XTESMO,Model 7\n")}, 2, 0},
    {"a purge owes no answer of its own", {kPurge, Deliver("del 7\n")}, 1, 0},

    // A write with an unknown outcome: its answer may come or not.
    {"a maybe-asked answer that comes", {kMaybeAsk, Deliver("TESMO,Model 7\n")}, kNone, 0},
    {"a maybe-asked answer that does not come", {kMaybeAsk, kAsk, Deliver("TESMO,Model 7\n")}, kNone, 0},
    {"a maybe-asked answer that comes after the asked one",
     {kAsk, kMaybeAsk, Deliver("TESMO,Model 7\n"), Deliver("TESMO,Model 7\n")},
     kNone,
     0},
    {"a maybe-asked answer comes at most once",
     {kMaybeAsk, Deliver("TESMO,Model 7\n"), Deliver("TESMO,Model 7\n")},
     2,
     0},

    // An error line only once a foreign byte went to the instrument.
    {"an error line without foreign bytes", {kAsk, Deliver(kError)}, 1, 0},
    {"an error line standing in for an answer", {kForeign, kAsk, Deliver(kError)}, kNone, 0},
    {"an unasked error line", {kForeign, Deliver(kError)}, kNone, 0},
    {"an error line then the answer it stood in for",
     {kForeign, kAsk, Deliver(kError), Deliver("TESMO,Model 7\n")},
     3,
     0},
    {"foreign bytes let only error lines through", {kForeign, kAsk, Deliver("TESMO,Mod\n")}, 2, 0},
    {"an error line is one that begins with ERR", {kForeign, kAsk, Deliver("xERR -113\n")}, 2, 0},
    {"foreign bytes do not let unasked answers through", {kForeign, Deliver("TESMO,Model 7\n")}, 1, 0},
};

TEST(ExplorerOraclesTest, AnswerOracleComplainsAtTheFirstLineOutOfPlace)
{
    for (const AnswerCase& c : kAnswerCases) {
        SCOPED_TRACE(c.label);
        AnswerOracle oracle{kAnswer};
        int complainedAt = kNone;
        std::string complaint;
        for (std::size_t i = 0; i < c.steps.size() && complainedAt == kNone; ++i) {
            const AnswerStep& step = c.steps[i];
            switch (step.event) {
            case AnswerEvent::Ask: oracle.Asked(); break;
            case AnswerEvent::MaybeAsk: oracle.MaybeAsked(); break;
            case AnswerEvent::Skip: oracle.Skipped(); break;
            case AnswerEvent::Foreign: oracle.ForeignBytesSent(); break;
            case AnswerEvent::Deliver:
                complaint =
                    oracle.Delivered(reinterpret_cast<const std::uint8_t*>(step.bytes.data()), step.bytes.size());
                if (!complaint.empty()) complainedAt = static_cast<int>(i);
                break;
            }
        }
        EXPECT_EQ(complainedAt, c.complaintAt) << complaint;
        // What the explorer's drain reports as lost answers.
        if (c.complaintAt == kNone) {
            EXPECT_EQ(oracle.outstanding(), c.outstanding);
        }
    }
}

// One thing the looped-back port's application did or saw: a write of the
// counter's next bytes that all went out or failed, a purge, or a read. The
// port's packets are 8 bytes here.
enum class LoopEvent { Wrote, WriteFailed, Purge, Deliver };

struct LoopStep {
    LoopEvent event;
    std::uint64_t position;  // Deliver: the counter's bytes from here ...
    std::uint64_t count;     // ... this many; Wrote, WriteFailed: how many
};

LoopStep Wrote(std::uint64_t count) { return {LoopEvent::Wrote, 0, count}; }
LoopStep WriteFailed(std::uint64_t count) { return {LoopEvent::WriteFailed, 0, count}; }
const LoopStep kLoopPurge{LoopEvent::Purge, 0, 0};
LoopStep Back(std::uint64_t position, std::uint64_t count) { return {LoopEvent::Deliver, position, count}; }

struct LoopCase {
    const char* label;
    std::vector<LoopStep> steps;
    std::vector<Bytes> joined;  // Deliver steps whose bytes are these instead (in order), when not empty
    int complaintAt;
    std::uint64_t owed;  // rows without a complaint: bytes written whole that never came
};

const LoopCase kLoopCases[] = {
    {"everything back in order", {Wrote(20), Back(0, 7), Back(7, 13)}, {}, kNone, 0},
    {"what has not come yet is owed", {Wrote(20), Back(0, 7)}, {}, kNone, 13},
    {"a byte back twice", {Wrote(20), Back(0, 8), Back(7, 4)}, {}, 2, 0},
    {"a gap after a write that went out", {Wrote(20), Back(0, 8), Back(9, 4)}, {}, 2, 0},
    {"bytes nobody wrote", {Wrote(4), Back(0, 8)}, {}, 1, 0},
    // A failed write may leave a gap, which ends where a packet began.
    {"a failed write that never came", {Wrote(6), WriteFailed(10), Wrote(6), Back(0, 6), Back(16, 6)}, {}, kNone, 0},
    {"a failed write that came all the same", {Wrote(6), WriteFailed(10), Back(0, 6), Back(6, 10)}, {}, kNone, 0},
    {"a failed write of which two packets came", {WriteFailed(20), Back(0, 16)}, {}, kNone, 0},
    {"a gap that ends inside a packet", {WriteFailed(20), Wrote(4), Back(3, 5)}, {}, 2, 0},
    {"a gap over a write that went out", {WriteFailed(4), Wrote(4), WriteFailed(4), Wrote(4), Back(12, 4)}, {}, 4, 0},
    {"a failed write owes nothing", {WriteFailed(20)}, {}, kNone, 0},
    // One read may bring the rest of one packet and the start of another.
    {"a waiting byte and the packet after a gap",
     {Wrote(1), WriteFailed(9), Wrote(6), Back(0, 7)},
     {Counter(0, 1) + Counter(10, 6)},
     kNone,
     0},
    // A purge may drop what was written before it.
    {"a purge drops what waited", {Wrote(8), Wrote(8), kLoopPurge, Back(8, 8)}, {}, kNone, 0},
    {"a purge owes nothing written before it", {Wrote(8), kLoopPurge}, {}, kNone, 0},
    {"a purge drops nothing written after it", {Wrote(8), kLoopPurge, Wrote(8), Back(12, 4)}, {}, 3, 0},
    // A short read fits several places; the next one decides.
    {"a single zero byte that turns out to be the later one",
     {WriteFailed(6), Wrote(1), Wrote(8), Back(6, 1), Back(7, 8)},
     {},
     kNone,
     0},
};

TEST(ExplorerOraclesTest, LoopbackOracleComplainsAtTheFirstByteOutOfPlace)
{
    for (const LoopCase& c : kLoopCases) {
        SCOPED_TRACE(c.label);
        LoopbackOracle oracle(8);
        int complainedAt = kNone;
        std::string complaint;
        std::size_t joined = 0;
        for (std::size_t i = 0; i < c.steps.size() && complainedAt == kNone; ++i) {
            const LoopStep& step = c.steps[i];
            switch (step.event) {
            case LoopEvent::Wrote: oracle.Wrote(step.count, true); break;
            case LoopEvent::WriteFailed: oracle.Wrote(step.count, false); break;
            case LoopEvent::Purge: oracle.Purged(); break;
            case LoopEvent::Deliver: {
                Bytes bytes = joined < c.joined.size() ? c.joined[joined++] : Counter(step.position, step.count);
                complaint = oracle.Delivered(bytes.data(), bytes.size());
                if (!complaint.empty()) complainedAt = static_cast<int>(i);
                break;
            }
            }
        }
        EXPECT_EQ(complainedAt, c.complaintAt) << complaint;
        if (c.complaintAt == kNone) {
            EXPECT_EQ(oracle.Owed(), c.owed);
        }
    }
}

}  // namespace
}  // namespace tesmo::explore
