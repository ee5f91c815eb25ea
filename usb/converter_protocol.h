// The converter's vendor requests on its default pipe, their values and the status bits of its
// replies.
#pragma once

// bRequest
#define CONVERTER_REQUEST_LINE_SETTINGS 0x01
#define CONVERTER_REQUEST_MODEM_LINES 0x02
#define CONVERTER_REQUEST_COUNTERS 0x04
#define CONVERTER_REQUEST_PURGE 0x08
#define CONVERTER_REQUEST_PORT 0x10

// Line settings: one rate bit in the high byte, framing in the low byte.
#define CONVERTER_RATE_1200 0x0100
#define CONVERTER_RATE_9600 0x0200
#define CONVERTER_RATE_19200 0x0400
#define CONVERTER_RATE_28800 0x0800
#define CONVERTER_RATE_38400 0x1000
#define CONVERTER_RATE_57600 0x2000
#define CONVERTER_RATE_115200 0x4000
#define CONVERTER_STOP_BITS_ONE 0x0001
#define CONVERTER_STOP_BITS_TWO 0x0002
#define CONVERTER_PARITY_NONE 0x0010
#define CONVERTER_PARITY_ODD 0x0020
#define CONVERTER_PARITY_EVEN 0x0040

// Modem lines
#define CONVERTER_RTS_ON 0x0001
#define CONVERTER_RTS_OFF 0x0002
#define CONVERTER_DTR_ON 0x0004
#define CONVERTER_DTR_OFF 0x0010

// Purge
#define CONVERTER_PURGE_TRANSMIT 0x0001
#define CONVERTER_PURGE_RECEIVE 0x0002

// Status ports (CONVERTER_REQUEST_PORT IN, port in wValue) and their 8-byte replies.
#define CONVERTER_REPLY_LENGTH 8
#define CONVERTER_PORT_CAPABILITIES 1
#define CONVERTER_PORT_IDENTITY 2
#define CONVERTER_PORT_FLOW 4
#define CONVERTER_CAPABILITIES_BYTE 3
#define CONVERTER_CAPABILITY_OUTPUT_FLOW_CONTROL 0x40
#define CONVERTER_CAPABILITY_CLOSE_STOPS_READING 0x20
#define CONVERTER_FLOW_STATE_BYTE 0
#define CONVERTER_FLOW_CONTROL_ON 0x01
#define CONVERTER_FLOW_READY_BYTE 2
#define CONVERTER_FLOW_READY_FOR_DATA 0x01

// Counters (CONVERTER_REQUEST_COUNTERS IN): four little-endian words. The levels are the bytes
// waiting in a FIFO; the loss counts run on from the converter's power-up and wrap at 0x10000.
#define CONVERTER_COUNTER_RECEIVE_LEVEL 0
#define CONVERTER_COUNTER_RECEIVE_DROPPED 2  // characters lost to a full receive FIFO
#define CONVERTER_COUNTER_TRANSMIT_LEVEL 4
#define CONVERTER_COUNTER_RECEIVE_ERRORS 6  // characters received with parity or framing errors
