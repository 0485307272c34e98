#include "EventLogDecoder.h"

#include <cstdio>
#include <cstring>

#include "ErrorText.h"
#include "emu/RequestNameTables.h"

namespace tesmo::logdump {

namespace {

constexpr std::size_t kEntrySize = sizeof(tesmo_event_log_entry);
static_assert(kEntrySize == TESMO_EVENT_LOG_ENTRY_SIZE);

std::string Format(const char* format, auto... values)
{
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string Name(const char* const* names, std::size_t count, std::uint64_t index)
{
    return index < count ? names[index] : Format("0x%llx", static_cast<unsigned long long>(index));
}

const char* const kQueueStates[] = {"HoldRequests", "AllowRequests", "FailRequests"};
const char* const kPnpStates[] = {"NotStarted",    "Stopped",         "Working", "PendingStop",
                                  "PendingRemove", "SurpriseRemoved", "Removed"};
// Serial control codes 0x1B0004 ... 0x1B009C by function number 1 ... 39.
const char* const kSerialControls[] = {
    nullptr,         "SET_BAUD_RATE",    "SET_QUEUE_SIZE",    "SET_LINE_CONTROL",  "SET_BREAK_ON",
    "SET_BREAK_OFF", "IMMEDIATE_CHAR",   "SET_TIMEOUTS",      "GET_TIMEOUTS",      "SET_DTR",
    "CLR_DTR",       "RESET_DEVICE",     "SET_RTS",           "CLR_RTS",           "SET_XOFF",
    "SET_XON",       "GET_WAIT_MASK",    "SET_WAIT_MASK",     "WAIT_ON_MASK",      "PURGE",
    "GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS",         "SET_CHARS",         "GET_HANDFLOW",
    "SET_HANDFLOW",  "GET_MODEMSTATUS",  "GET_COMMSTATUS",    "XOFF_COUNTER",      "GET_PROPERTIES",
    "GET_DTRRTS",    "LSRMST_INSERT",    "CONFIG_SIZE",       "GET_COMMCONFIG",    "SET_COMMCONFIG",
    "GET_STATS",     "CLEAR_STATS",      "GET_MODEM_CONTROL", "SET_MODEM_CONTROL", "SET_FIFO_CONTROL"};
const char* const kPrivateControls[] = {"READ_DEVICE_DESCRIPTOR", "READ_CONFIG_DESCRIPTOR", "RESET_PARENT_PORT",
                                        "RESET_PIPE"};

template <std::size_t N>
std::string Name(const char* const (&names)[N], std::uint64_t index)
{
    return Name(names, N, index);
}

std::string ControlCode(std::uint64_t code)
{
    // CTL_CODE: device type, access, function, method (all of ours buffered, any access).
    std::uint64_t function = (code >> 2) & 0xFFF;
    std::uint64_t deviceType = code >> 16;
    bool bufferedAnyAccess = (code & 0xC003) == 0;
    if (bufferedAnyAccess && deviceType == 0x1B && function >= 1 && function < std::size(kSerialControls)) {
        return std::string("IOCTL_SERIAL_") + kSerialControls[function];
    }
    if (bufferedAnyAccess && deviceType == 0x22 && function >= 2800 && function <= 2803) {
        return std::string("IOCTL_") + kPrivateControls[function - 2800];
    }
    return Format("I/O control 0x%llx", static_cast<unsigned long long>(code));
}

// Power and device states print as the platform's letters: value 1 is S0/D0.
std::string PowerState(char letter, std::uint64_t value)
{
    return value == 0 ? std::string(1, letter) + "=unset"
                      : Format("%c%llu", letter, static_cast<unsigned long long>(value - 1));
}

std::string Status(std::uint64_t value)
{
    std::string text = sim::NtStatusText(static_cast<std::int32_t>(value));
    // The reason is for a user's failure; the log names the status only.
    return value == 0 ? "STATUS_SUCCESS" : text.substr(0, text.find(':'));
}
std::string Count(const char* what, std::uint64_t value)
{
    return Format("%s %lld", what, static_cast<long long>(value));
}

// What value1 and value2 mean, by tag; true when value3 is the state word.
bool DescribeValues(const std::string& tag, const tesmo_event_log_entry& e, IrpNames& irps, std::string& out)
{
    auto v1 = e.value1, v2 = e.value2;
    auto Irp = [&irps](std::uint64_t address) { return irps.Name(address); };
    if (tag == "AddD") {
        out = Status(v1);
        return false;
    }
    if (tag == "Pnp>") {
        out = Irp(v1) + ": IRP_MN_" + Name(emu::kPnpMinorFunctionNames, v2);
        return true;
    }
    if (tag == "Pnp<") {
        out = Status(v1);
        return true;
    }
    if (tag == "Pwr>" || tag == "HSQ>" || tag == "HDQ>") {
        out = Irp(v1) + ": IRP_MN_" + Name(emu::kPowerMinorFunctionNames, v2);
        return true;
    }
    if (tag == "HSS>") {
        out = Irp(v1);
        return true;
    }
    if (tag == "QSC>" || tag == "HQD>") {
        out = Irp(v1) + ", completed with " + Status(v2);
        return true;
    }
    if (tag == "HDQ0") {
        out = std::string("USB ") + (v1 ? "quiet" : "busy") + ", " + Count("outstanding", v2);
        return false;
    }
    if (tag == "HDS>" || tag == "SDc>") {
        out = Irp(v1) + ", to " + PowerState('D', v2);
        return true;
    }
    if (tag == "WIo>") {
        out = "held IRP_MJ_" + Name(emu::kMajorFunctionNames, v1) + " minor " +
              Format("0x%llx", static_cast<unsigned long long>(v2));
        return true;
    }
    if (tag == "WIo<") {
        out = "wait for USB quiet returned " + Status(v1);
        return false;
    }
    if (tag == "PQR>" || tag == "AQL>" || tag == "RQL>") {
        out = "";
        return true;
    }
    if (tag == "PQR0") {
        out = "dequeue";
        return false;
    }
    if (tag == "PQR1") {
        out = v1 ? "took " + Irp(v1) : std::string("queue empty");
        return false;
    }
    if (tag == "PQR2") {
        out = Irp(v1) + " failed (requests not allowed), " + Status(v2);
        return false;
    }
    if (tag == "PQR3") {
        out = Irp(v1) + " failed (not handled), " + Status(v2);
        return false;
    }
    if (tag == "IIE>" || tag == "RmI>") {
        out = Irp(v1) + ", " + Count("queued", v2);
        return true;
    }
    if (tag == "PNI>") {
        out = v1 ? "after " + Irp(v1) : std::string("from the head");
        return true;
    }
    if (tag == "Rd> " || tag == "Wr> ") {
        out = Irp(v1) + (tag == "Rd> " ? ": read of " : ": write of ") +
              Format("%llu bytes", static_cast<unsigned long long>(v2));
        return true;
    }
    if (tag == "Ioc>") {
        out = Irp(v1) + ": " + ControlCode(v2);
        return true;
    }
    out = Format("0x%llx 0x%llx 0x%llx", static_cast<unsigned long long>(v1), static_cast<unsigned long long>(v2),
                 static_cast<unsigned long long>(e.value3));
    return false;
}

}  // namespace

std::vector<NumberedEntry> InWrittenOrder(std::span<const std::uint8_t> storage, std::int32_t logIndex)
{
    std::vector<NumberedEntry> entries;
    std::size_t slots = storage.size() / kEntrySize;
    if (slots == 0 || (slots & (slots - 1)) != 0) return entries;
    std::uint32_t mask = static_cast<std::uint32_t>(slots - 1);
    // The index went down by one per entry: minus the index counts the writes.
    std::uint32_t written = 0u - static_cast<std::uint32_t>(logIndex);
    std::uint32_t kept = written < slots ? written : static_cast<std::uint32_t>(slots);
    for (std::uint32_t age = kept; age-- > 0;) {
        NumberedEntry numbered;
        numbered.slot = (static_cast<std::uint32_t>(logIndex) + age) & mask;
        numbered.number = written - age;
        std::memcpy(&numbered.entry, storage.data() + numbered.slot * kEntrySize, kEntrySize);
        entries.push_back(numbered);
    }
    return entries;
}

std::string DecodeStateWord(std::uint64_t word)
{
    std::uint32_t w = static_cast<std::uint32_t>(word);
    return "Queue=" + Name(kQueueStates, w >> 24) + " Pnp=" + Name(kPnpStates, (w >> 16) & 0xFF) + " " +
           PowerState('S', (w >> 8) & 0xFF) + " " + PowerState('D', w & 0xFF);
}

std::string IrpNames::Name(std::uint64_t address)
{
    if (address == 0) return "no irp";
    auto [it, added] = numbers_.emplace(address, static_cast<unsigned>(numbers_.size() + 1));
    return "irp " + std::to_string(it->second);
}

namespace {

std::string PrintableTag(const tesmo_event_log_entry& entry)
{
    std::string tag(entry.tag, 4);
    for (char& c : tag) {
        if (c < 0x20 || c > 0x7E) c = '.';
    }
    return tag;
}

// The tag's characters as stored: what is not printable as \xHH.
std::string RawTag(const tesmo_event_log_entry& entry)
{
    std::string tag;
    for (char c : std::string(entry.tag, 4)) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '\\' || c == '"') tag += Format("\\x%02x", byte);
        else tag += c;
    }
    return tag;
}

std::string JsonText(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') quoted += std::string("\\") + c;
        else if (byte < 0x20 || byte > 0x7E) quoted += Format("\\u%04x", byte);
        else quoted += c;
    }
    return quoted + "\"";
}

// Two entries the same for a reader of repeats: the same tag, length or
// code and state; the request (value1) may differ.
bool Alike(const tesmo_event_log_entry& a, const tesmo_event_log_entry& b)
{
    return std::memcmp(a.tag, b.tag, 4) == 0 && a.value2 == b.value2 && a.value3 == b.value3;
}

// How many times the `period` entries from `at` come again right after.
std::size_t Repeats(const std::vector<NumberedEntry>& entries, std::size_t at, std::size_t period)
{
    std::size_t times = 0;
    for (std::size_t next = at + period; next + period <= entries.size(); next += period) {
        for (std::size_t k = 0; k < period; ++k) {
            if (!Alike(entries[at + k].entry, entries[next + k].entry)) return times;
        }
        ++times;
    }
    return times;
}

std::string FormatText(const std::vector<NumberedEntry>& entries)
{
    // Shown once; fewer repeats are shown whole.
    constexpr std::size_t kFewestRepeats = 3;
    std::string text =
        "# entry  tag   what  [Queue=request gate Pnp=PnP state S/D=system/device power; unset: no power request "
        "yet]\n";
    IrpNames irps;
    for (std::size_t at = 0; at < entries.size();) {
        std::size_t period = 0, times = 0;
        for (std::size_t p : {std::size_t{1}, std::size_t{2}}) {
            if (std::size_t t = Repeats(entries, at, p); t >= kFewestRepeats && t * p > times * period) {
                period = p;
                times = t;
            }
        }
        std::size_t shown = period == 0 ? 1 : period;
        for (std::size_t k = 0; k < shown; ++k) {
            text += Format("%6u  ", entries[at + k].number) + DescribeEntry(entries[at + k].entry, irps) + "\n";
        }
        if (period != 0) {
            text += Format("        ... the %s again %zu times (entries %u to %u)\n",
                           period == 1 ? "entry above" : "2 entries above", times, entries[at + period].number,
                           entries[at + period * (times + 1) - 1].number);
        }
        at += shown + period * times;
    }
    return text;
}

std::string FormatRaw(const std::vector<NumberedEntry>& entries)
{
    std::string text;
    for (const NumberedEntry& e : entries) {
        text += Format("%6u  \"%s\"  0x%016llx 0x%016llx 0x%016llx\n", e.number, RawTag(e.entry).c_str(),
                       static_cast<unsigned long long>(e.entry.value1), static_cast<unsigned long long>(e.entry.value2),
                       static_cast<unsigned long long>(e.entry.value3));
    }
    return text;
}

std::string FormatJson(const std::vector<NumberedEntry>& entries)
{
    std::string text = "[";
    IrpNames irps;
    for (const NumberedEntry& e : entries) {
        std::string tag = PrintableTag(e.entry);
        std::string values;
        bool withState = DescribeValues(tag, e.entry, irps, values);
        auto word = static_cast<std::uint32_t>(e.entry.value3);
        text += text.size() > 1 ? ",\n " : "\n ";
        text += Format("{\"number\": %u, \"slot\": %u, \"tag\": %s, ", e.number, e.slot,
                       JsonText(std::string(e.entry.tag, 4)).c_str());
        text +=
            Format("\"values\": [%llu, %llu, %llu], ", static_cast<unsigned long long>(e.entry.value1),
                   static_cast<unsigned long long>(e.entry.value2), static_cast<unsigned long long>(e.entry.value3));
        text += "\"text\": " + JsonText(values);
        if (withState) {
            text += ", \"state\": {\"queue\": " + JsonText(Name(kQueueStates, word >> 24)) +
                    ", \"pnp\": " + JsonText(Name(kPnpStates, (word >> 16) & 0xFF)) +
                    ", \"system\": " + JsonText(PowerState('S', (word >> 8) & 0xFF)) +
                    ", \"device\": " + JsonText(PowerState('D', word & 0xFF)) + "}";
        }
        text += "}";
    }
    return text + "\n]\n";
}

}  // namespace

std::string DescribeEntry(const tesmo_event_log_entry& entry, IrpNames& irps)
{
    std::string tag = PrintableTag(entry);
    std::string values;
    bool withState = DescribeValues(tag, entry, irps, values);
    std::string line = tag + "  " + values;
    if (withState) line += (values.empty() ? "[" : "  [") + DecodeStateWord(entry.value3) + "]";
    return line;
}

std::string FormatLog(std::span<const std::uint8_t> storage, std::int32_t logIndex, LogFormat format)
{
    std::vector<NumberedEntry> entries = InWrittenOrder(storage, logIndex);
    switch (format) {
    case LogFormat::Raw: return FormatRaw(entries);
    case LogFormat::Json: return FormatJson(entries);
    case LogFormat::Text: break;
    }
    return FormatText(entries);
}

}  // namespace tesmo::logdump
