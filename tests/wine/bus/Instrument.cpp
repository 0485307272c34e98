// The command/answer instrument: line assembly, the answers table and the
// packet queue of the IN pipe.
#include "Instrument.h"

static const CHAR ErrorAnswer[] = "ERR -113,\"Undefined header\"";
static const CHAR OverrunAnswer[] = "ERR -363,\"Input buffer overrun\"";

VOID InstrumentReset(PINSTRUMENT Instrument)
{
    RtlZeroMemory(Instrument, sizeof(*Instrument));
}

static ULONG TextLength(const CHAR* Text)
{
    ULONG Length = 0;
    while (Text[Length] != 0) {
        Length++;
    }
    return Length;
}

static CHAR Upper(CHAR Character)
{
    return (Character >= 'a' && Character <= 'z') ? (CHAR)(Character - 'a' + 'A') : Character;
}

// Whether the header of the line (up to the first blank) is Header.
static BOOLEAN HeaderIs(const CHAR* Line, ULONG Length, const CHAR* Header)
{
    ULONG Index = 0;

    for (; Header[Index] != 0; Index++) {
        if (Index >= Length || Upper(Line[Index]) != Header[Index]) {
            return FALSE;
        }
    }
    return (Index == Length || Line[Index] == ' ') ? TRUE : FALSE;
}

// Queues Text plus LF as packets; an answer that does not fit is dropped
// whole, as an instrument with a full output buffer would.
static VOID QueueAnswer(PINSTRUMENT Instrument, const CHAR* Text)
{
    ULONG Length = TextLength(Text) + 1;
    ULONG Needed = Length / INSTRUMENT_PACKET_SIZE + 1;
    ULONG Sent = 0;

    if (Instrument->PacketCount + Needed > INSTRUMENT_PACKET_CAPACITY) {
        TestBusTrace("instrument output full, answer dropped\n");
        return;
    }
    for (ULONG Packet = 0; Packet < Needed; Packet++) {
        ULONG Slot = (Instrument->FirstPacket + Instrument->PacketCount) % INSTRUMENT_PACKET_CAPACITY;
        ULONG Take = Length - Sent;
        if (Take > INSTRUMENT_PACKET_SIZE) {
            Take = INSTRUMENT_PACKET_SIZE;
        }
        for (ULONG Index = 0; Index < Take; Index++, Sent++) {
            Instrument->Packets[Slot][Index] = (Sent + 1 == Length) ? (UCHAR)'\n' : (UCHAR)Text[Sent];
        }
        Instrument->PacketLength[Slot] = Take;
        Instrument->PacketCount++;
    }
}

static VOID Answer(PINSTRUMENT Instrument)
{
    const CHAR* Line = Instrument->Line;
    ULONG Length = Instrument->LineLength;

    while (Length > 0 && *Line == ' ') {
        Line++;
        Length--;
    }
    while (Length > 0 && Line[Length - 1] == ' ') {
        Length--;
    }
    if (Instrument->LineOverrun) {
        QueueAnswer(Instrument, OverrunAnswer);
    } else if (Length == 0 || HeaderIs(Line, Length, "*RST") || HeaderIs(Line, Length, "*CLS")) {
        // Nothing to say.
    } else if (HeaderIs(Line, Length, "*IDN?")) {
        QueueAnswer(Instrument, INSTRUMENT_IDENTITY);
    } else if (HeaderIs(Line, Length, "*OPC?")) {
        QueueAnswer(Instrument, "1");
    } else {
        QueueAnswer(Instrument, ErrorAnswer);
    }
    Instrument->LineLength = 0;
    Instrument->LineOverrun = FALSE;
}

VOID InstrumentTakeOut(PINSTRUMENT Instrument, const UCHAR* Bytes, ULONG Length)
{
    for (ULONG Index = 0; Index < Length; Index++) {
        CHAR Character = (CHAR)Bytes[Index];
        if (Character == '\n' || Character == '\r') {
            Answer(Instrument);
        } else if (Instrument->LineLength < INSTRUMENT_LINE_CAPACITY) {
            Instrument->Line[Instrument->LineLength++] = Character;
        } else {
            Instrument->LineOverrun = TRUE;
        }
    }
}

BOOLEAN InstrumentHasPacket(const INSTRUMENT* Instrument)
{
    return Instrument->PacketCount != 0 ? TRUE : FALSE;
}

ULONG InstrumentFillIn(PINSTRUMENT Instrument, PUCHAR Buffer, ULONG Length)
{
    ULONG Copied = 0;

    while (Instrument->PacketCount != 0 && Length - Copied >= INSTRUMENT_PACKET_SIZE) {
        ULONG Slot = Instrument->FirstPacket;
        ULONG PacketLength = Instrument->PacketLength[Slot];
        RtlCopyMemory(Buffer + Copied, Instrument->Packets[Slot], PacketLength);
        Copied += PacketLength;
        Instrument->FirstPacket = (Slot + 1) % INSTRUMENT_PACKET_CAPACITY;
        Instrument->PacketCount--;
        if (PacketLength < INSTRUMENT_PACKET_SIZE) {
            break;  // a short packet ends the transfer
        }
    }
    return Copied;
}
