// The reader's own commands and answers: the bytes the reader functions send to the reader over
// the link, the status words that end every answer and the card status byte of GET STATUS.
#pragma once
#include "platform/ntdef.h"

// Every reader command begins with class, instruction, P1 and P2.
#define READER_OFFSET_CLASS 0
#define READER_OFFSET_INSTRUCTION 1
#define READER_OFFSET_P1 2
#define READER_COMMAND_HEADER_MATCHED 2  // class and instruction name the command

// Card power and card status commands: class, instruction, P1, P2 (and Le for GET STATUS).
#define READER_CLASS_CARD_TERMINAL 0x20
#define READER_INS_POWER_ON 0x10
#define READER_INS_GET_STATUS 0x13
#define READER_INS_POWER_OFF 0x14
#define READER_P1_CARD_SLOT 0x01
#define READER_P2_POWER_OFF 0x00
#define READER_P2_POWER_ON_RETURN_ATR 0x01
#define READER_P1_GET_STATUS_TERMINAL 0x00
#define READER_P2_GET_STATUS_CARD 0x80  // the card status data object
#define READER_LE_ALL 0x00
#define READER_POWER_COMMAND_LENGTH 4
#define READER_GET_STATUS_COMMAND_LENGTH 5

// Set-parameters command: class, instruction, P1, P2, Lc, then one data object (tag, length,
// value) naming the card protocol.
#define READER_CLASS_SET_PARAMETERS 0x80
#define READER_INS_SET_PARAMETERS 0x60
#define READER_P1_SET_PARAMETERS 0x01
#define READER_P2_SET_PARAMETERS 0x00
#define READER_LC_SET_PARAMETERS 0x03
#define READER_TAG_CARD_PROTOCOL 0x22
#define READER_LENGTH_CARD_PROTOCOL 0x01
#define READER_CARD_PROTOCOL_T0 0x01
#define READER_CARD_PROTOCOL_T1 0x02
#define READER_SET_PARAMETERS_LENGTH 8
#define READER_SET_PARAMETERS_PROTOCOL_OFFSET 7
// Beyond the header the set-parameters command carries data objects: tag, length, value. The
// baud rate object's first value byte is a rate code.
#define READER_SET_PARAMETERS_FIRST_OBJECT 5
#define READER_TLV_HEADER_LENGTH 2
#define READER_TAG_BAUD_RATE 0x11
#define READER_LENGTH_BAUD_RATE 0x01
#define READER_SET_BAUD_RATE_LENGTH 8  // header and the one baud rate object
#define READER_BAUD_RATE_CODES \
  { 9600, 19200, 28800, 38400, 57600, 115200 }
#define READER_BAUD_RATE_CODE_COUNT 6

// The reset command addressed to the reader itself (P1 0) rather than to the card slot.
#define READER_P1_TERMINAL 0x00
#define READER_RESET_COMMAND_LENGTH 3  // class, instruction, P1

// Status words (SW1 SW2), the last two bytes of every answer.
#define READER_STATUS_WORD_LENGTH 2
#define READER_SW1_SUCCESS 0x90
#define READER_SW2_SUCCESS 0x00
#define READER_SW2_ATR_COMPLETE 0x01  // after a reset: the answer carries the card's whole ATR
#define READER_SW1_WARNING 0x62
#define READER_SW1_EXECUTION_ERROR 0x64
#define READER_SW2_CARD_MUTE 0xA0  // the card did not answer in time
#define READER_SW2_NO_CARD 0xA1
#define READER_SW1_WRONG_LENGTH 0x67
#define READER_SW1_WRONG_DATA 0x6A
#define READER_SW2_WRONG_DATA_PARAMETERS 0x80  // parameters already in force: accepted

// GET STATUS answer: either the data object (tag, length, status bytes) or one status byte,
// then the status word.
#define READER_TAG_CARD_STATUS 0x80
#define READER_CARD_STATUS_TLV_HEADER_LENGTH 2
#define READER_CARD_STATUS_INSERTED 0x01
#define READER_CARD_STATUS_CONTACT_MASK 0x06
#define READER_CARD_STATUS_CONTACT_POWERED 0x04

// Reply buffers of the reader functions.
#define READER_STATUS_REPLY_SIZE 80
#define READER_SET_PARAMETERS_REPLY_SIZE 40
