// The command/answer instrument behind the test bus: takes command lines on
// the bulk OUT pipe and queues its answers as bulk IN packets.
//
// Commands end with LF or CR; the header (text up to the first blank) is
// matched without regard to case:
//   *IDN?   the identification line INSTRUMENT_IDENTITY (TestBusControl.h)
//   *OPC?   "1"
//   *RST, *CLS   no answer
//   empty line   ignored
//   anything else   ERR -113,"Undefined header"
// Every answer ends with LF and is cut into packets of the IN pipe's packet
// size, the last one short (zero-length when the answer fills whole packets).
//
// Plain state, no locking of its own: the caller serialises all calls (the
// instrument device holds its spin lock around them), so any IRQL up to
// DISPATCH_LEVEL.
#pragma once

#include "Kernel.h"
#include "TestBusControl.h"

#define INSTRUMENT_LINE_CAPACITY 128
#define INSTRUMENT_PACKET_CAPACITY 16

typedef struct _INSTRUMENT {
    CHAR Line[INSTRUMENT_LINE_CAPACITY];
    ULONG LineLength;
    BOOLEAN LineOverrun;  // the line so far did not fit: answered with an error
    // A ring of packets waiting for the IN pipe.
    UCHAR Packets[INSTRUMENT_PACKET_CAPACITY][INSTRUMENT_PACKET_SIZE];
    ULONG PacketLength[INSTRUMENT_PACKET_CAPACITY];
    ULONG FirstPacket;
    ULONG PacketCount;
} INSTRUMENT, *PINSTRUMENT;

// Empties the line and the answers, as at power-up.
VOID InstrumentReset(PINSTRUMENT Instrument);

// Takes bytes from the OUT pipe; complete lines are answered at once.
VOID InstrumentTakeOut(PINSTRUMENT Instrument, const UCHAR* Bytes, ULONG Length);

BOOLEAN InstrumentHasPacket(const INSTRUMENT* Instrument);

// Fills an IN transfer of Length bytes (a multiple of the packet size) with
// waiting packets; stops after a short packet, when the buffer is full or
// when no packet is left. Returns the bytes copied.
ULONG InstrumentFillIn(PINSTRUMENT Instrument, PUCHAR Buffer, ULONG Length);
