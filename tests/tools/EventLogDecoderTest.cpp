// The event-log decoder against storage built by hand: the order in which
// the ring was written, the device state word, each entry's text, and saved
// copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "EventLogDecoder.h"
#include "LogFile.h"

namespace tesmo::logdump {
namespace {

// Writes entries the way the driver does: decrement the index, then fill
// slot (index & mask).
struct Ring {
    std::vector<std::uint8_t> storage = std::vector<std::uint8_t>(8 * 32, 0);
    std::int32_t index = 0;

    void Write(const char* tag, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3)
    {
        tesmo_event_log_entry entry{};
        std::memcpy(entry.tag, tag, 4);
        entry.value1 = v1;
        entry.value2 = v2;
        entry.value3 = v3;
        --index;
        std::memcpy(storage.data() + (static_cast<std::uint32_t>(index) & 7) * 32, &entry, 32);
    }
};

std::vector<std::uint32_t> Numbers(const std::vector<NumberedEntry>& entries)
{
    std::vector<std::uint32_t> numbers;
    for (const auto& e : entries) numbers.push_back(e.number);
    return numbers;
}

TEST(EventLogDecoder, PutsTheRingInWrittenOrderAcrossTheWrap)
{
    Ring ring;
    EXPECT_TRUE(InWrittenOrder(ring.storage, ring.index).empty());
    for (std::uint64_t i = 1; i <= 3; ++i) ring.Write("Wr> ", 0, i, 0);
    std::vector<NumberedEntry> three = InWrittenOrder(ring.storage, ring.index);
    EXPECT_EQ(Numbers(three), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(three.front().slot, 7u);  // the first entry goes to the last slot
    EXPECT_EQ(three.back().entry.value2, 3u);

    for (std::uint64_t i = 4; i <= 11; ++i) ring.Write("Wr> ", 0, i, 0);
    std::vector<NumberedEntry> wrapped = InWrittenOrder(ring.storage, ring.index);
    ASSERT_EQ(wrapped.size(), 8u);  // the oldest three were overwritten
    EXPECT_EQ(wrapped.front().number, 4u);
    EXPECT_EQ(wrapped.front().entry.value2, 4u);
    EXPECT_EQ(wrapped.back().number, 11u);
    EXPECT_EQ(wrapped.back().entry.value2, 11u);
}

TEST(EventLogDecoder, RefusesStorageThatIsNotAPowerOfTwoEntries)
{
    std::vector<std::uint8_t> storage(3 * 32, 0);
    EXPECT_TRUE(InWrittenOrder(storage, -1).empty());
}

TEST(EventLogDecoder, TakesTheStateWordApart)
{
    // FailRequests, SurpriseRemoved, S3 (value 4), D3 (value 4)
    EXPECT_EQ(DecodeStateWord(0x02050404), "Queue=FailRequests Pnp=SurpriseRemoved S3 D3");
    EXPECT_EQ(DecodeStateWord(0x01020000), "Queue=AllowRequests Pnp=Working S=unset D=unset");
    // Sign-extended as stored: the upper half does not matter.
    EXPECT_EQ(DecodeStateWord(0xFFFFFFFF01020101ull), "Queue=AllowRequests Pnp=Working S0 D0");
}

TEST(EventLogDecoder, NamesEachTagsValuesAndEachRequestByItsFirstAppearance)
{
    IrpNames irps;
    auto entry = [&irps](const char* tag, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3) {
        tesmo_event_log_entry e{};
        std::memcpy(e.tag, tag, 4);
        e.value1 = v1;
        e.value2 = v2;
        e.value3 = v3;
        return DescribeEntry(e, irps);
    };
    EXPECT_EQ(entry("Rd> ", 0x1000, 100, 0x01020101),
              "Rd>   irp 1: read of 100 bytes  [Queue=AllowRequests Pnp=Working S0 D0]");
    EXPECT_EQ(entry("Pnp>", 0x20, 0x17, 0x02050101),
              "Pnp>  irp 2: IRP_MN_SURPRISE_REMOVAL  [Queue=FailRequests Pnp=SurpriseRemoved S0 D0]");
    EXPECT_EQ(entry("Ioc>", 0x30, 0x1B006C, 0x01020101),
              "Ioc>  irp 3: IOCTL_SERIAL_GET_COMMSTATUS  [Queue=AllowRequests Pnp=Working S0 D0]");
    EXPECT_EQ(entry("Ioc>", 0x30, 0x222BC8, 0),
              "Ioc>  irp 3: IOCTL_RESET_PARENT_PORT  [Queue=HoldRequests Pnp=NotStarted S=unset D=unset]");
    EXPECT_EQ(entry("QSC>", 0x1000, 0x103, 0x01020101),
              "QSC>  irp 1, completed with status 0x00000103  [Queue=AllowRequests Pnp=Working S0 D0]");
    EXPECT_EQ(entry("HDS>", 0x40, 4, 0x00020101), "HDS>  irp 4, to D3  [Queue=HoldRequests Pnp=Working S0 D0]");
    EXPECT_EQ(entry("AddD", 0xFFFFFFFFC000009Aull, 0, 0), "AddD  STATUS_INSUFFICIENT_RESOURCES (0xc000009a)");
    EXPECT_EQ(entry("Pnp<", 0, 0, 0x01020101), "Pnp<  STATUS_SUCCESS  [Queue=AllowRequests Pnp=Working S0 D0]");
    EXPECT_EQ(entry("PQR1", 0, 0, 0), "PQR1  queue empty");
    EXPECT_EQ(entry("X\x01yz", 1, 2, 3), "X.yz  0x1 0x2 0x3");
}

// A ring of polling reads (each a time-out setting and a read) between two
// plain entries, in the three formats.
TEST(EventLogDecoder, ShowsARepeatedRunOnceAndEveryEntryRawOrAsJson)
{
    Ring ring;
    ring.storage.assign(16 * 32, 0);
    auto write = [&ring](const char* tag, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3) {
        tesmo_event_log_entry entry{};
        std::memcpy(entry.tag, tag, 4);
        entry.value1 = v1;
        entry.value2 = v2;
        entry.value3 = v3;
        --ring.index;
        std::memcpy(ring.storage.data() + (static_cast<std::uint32_t>(ring.index) & 15) * 32, &entry, 32);
    };
    write("Wr> ", 0x10, 6, 0x01020101);
    for (std::uint64_t i = 0; i < 5; ++i) {
        write("Ioc>", 0x100 + i, 0x1B001C, 0x01020101);
        write("Rd> ", 0x200 + i, 4096, 0x01020101);
    }
    write("X\x01yz", 1, 2, 3);
    const std::string state = "  [Queue=AllowRequests Pnp=Working S0 D0]\n";
    std::string text = FormatLog(ring.storage, ring.index);
    EXPECT_EQ(text.substr(text.find('\n') + 1), "     1  Wr>   irp 1: write of 6 bytes" + state +
                                                    "     2  Ioc>  irp 2: IOCTL_SERIAL_SET_TIMEOUTS" + state +
                                                    "     3  Rd>   irp 3: read of 4096 bytes" + state +
                                                    "        ... the 2 entries above again 4 times (entries 4 to 11)\n"
                                                    "    12  X.yz  0x1 0x2 0x3\n");

    std::string raw = FormatLog(ring.storage, ring.index, LogFormat::Raw);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 12);
    EXPECT_NE(raw.find("    12  \"X\\x01yz\"  0x0000000000000001 0x0000000000000002 0x0000000000000003\n"),
              std::string::npos)
        << raw;

    std::string json = FormatLog(ring.storage, ring.index, LogFormat::Json);
    EXPECT_EQ(std::count(json.begin(), json.end(), '{'), 12 + 11);  // every entry, 11 with a state
    EXPECT_NE(json.find("{\"number\": 3, \"slot\": 13, \"tag\": \"Rd> \", \"values\": [512, 4096, 16908545], "
                        "\"text\": \"irp 3: read of 4096 bytes\", \"state\": {\"queue\": \"AllowRequests\", "
                        "\"pnp\": \"Working\", \"system\": \"S0\", \"device\": \"D0\"}}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"tag\": \"X\\u0001yz\""), std::string::npos) << json;
}

TEST(LogFile, SavedCopyReadsBackAndOtherFilesAreRefused)
{
    std::string path = ::testing::TempDir() + "eventlog.bin";
    LogCopy copy;
    copy.storage.assign(64, 0xAB);
    copy.logIndex = -300;
    ASSERT_TRUE(SaveLog(path, copy));
    std::optional<LogCopy> loaded = LoadLog(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->logIndex, -300);
    EXPECT_EQ(loaded->storage, copy.storage);

    // The raw image is not a saved copy, but reads as a raw image.
    std::FILE* raw = std::fopen(path.c_str(), "wb");
    std::fwrite(copy.storage.data(), 1, copy.storage.size(), raw);
    std::fclose(raw);
    EXPECT_FALSE(LoadLog(path));
    std::optional<LogCopy> image = LoadRawImage(path, -5);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->storage.size(), 64u);
    EXPECT_FALSE(LoadLog(path + ".missing"));
    std::remove(path.c_str());
}

}  // namespace
}  // namespace tesmo::logdump
