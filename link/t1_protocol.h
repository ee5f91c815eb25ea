// The reader link's T=1 block protocol: node addresses, block layout and protocol control bytes.
#pragma once

// Node addresses and the NAD byte: destination in bits 6..4, source in bits 2..0.
#define T1_NODE_CARD 0
#define T1_NODE_READER 1
#define T1_NODE_HOST 2
#define T1_NAD_ADDRESS_MASK 0x07
#define T1_NAD_DAD_SHIFT 4
#define T1_NAD_NONE 0x00  // R- and S-blocks

// Block layout
#define T1_OFFSET_NAD 0
#define T1_OFFSET_PCB 1
#define T1_OFFSET_LEN 2
#define T1_OFFSET_INF 3
#define T1_PROLOGUE_LENGTH 3
#define T1_EPILOGUE_LENGTH 1
#define T1_MAXIMUM_INF_LENGTH 255
#define T1_MAXIMUM_BLOCK_LENGTH (T1_PROLOGUE_LENGTH + T1_MAXIMUM_INF_LENGTH + T1_EPILOGUE_LENGTH)

// PCB: block type in bits 7..6
#define T1_PCB_TYPE_MASK 0xC0
#define T1_PCB_R_BLOCK 0x80
#define T1_PCB_S_BLOCK 0xC0
#define T1_PCB_I_BLOCK_BIT 0x80  // clear in an I-block

// I-block
#define T1_PCB_I_SEQUENCE 0x40  // N(S)
#define T1_PCB_I_MORE 0x20      // M: more data follows
#define T1_PCB_I_RESERVED 0x1F

// R-block
#define T1_PCB_R_SEQUENCE 0x10  // N(R)
#define T1_PCB_R_RESERVED 0x20
#define T1_PCB_R_CODE_MASK 0x03
#define T1_PCB_R_CODE_BITS 0x0F  // 0: error-free; anything else reports an error
#define T1_R_CODE_ACK 0
#define T1_R_CODE_EDC_ERROR 1
#define T1_R_CODE_OTHER_ERROR 2

// S-blocks
#define T1_S_RESYNCH_REQUEST 0xC0
#define T1_S_IFS_REQUEST 0xC1
#define T1_S_ABORT_REQUEST 0xC2
#define T1_S_WTX_REQUEST 0xC3
#define T1_S_RESYNCH_RESPONSE 0xE0
#define T1_S_IFS_RESPONSE 0xE1
#define T1_S_ABORT_RESPONSE 0xE2
#define T1_S_WTX_RESPONSE 0xE3
#define T1_S_IFS_LENGTH 1
#define T1_S_WTX_LENGTH 1

// Information field sizes
#define T1_IFS_AFTER_RESYNCH 32
#define T1_IFS_SMALLEST 1
#define T1_IFS_LARGEST 254

// Retries of one exchange
#define T1_ERROR_RETRIES 3         // R-blocks reporting errors before the fourth error ends it
#define T1_RESYNCH_ATTEMPTS 3      // S(RESYNCH) and S(IFS) exchanges before the link is given up
#define T1_RESEND_REQUESTS 3       // times the reader may ask for the same block again
#define T1_S_REQUESTS_IN_A_ROW 64  // reader S-requests handled between two steps forward
#define T1_QUIET_LINE_MS 50        // no character for this long: the line is quiet after an error
#define T1_QUIET_LINE_MAX_BYTES (2 * T1_MAXIMUM_BLOCK_LENGTH)
