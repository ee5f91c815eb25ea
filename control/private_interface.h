// The private converter interface of the configuration tool: its control codes, the records it
// reads and writes in the system buffer (little-endian, byte offsets) and the handlers behind
// them. Every handler runs at PASSIVE_LEVEL in the requesting thread and may wait.
#pragma once
#include "driver/device_extension.h"

#define REZOVO_CTL_CODE(Function) \
  CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_REZOVO_GET_PIPE_INFO REZOVO_CTL_CODE(0x800)                 // 0x222000
#define IOCTL_REZOVO_GET_DEVICE_DESCRIPTOR REZOVO_CTL_CODE(0x801)         // 0x222004
#define IOCTL_REZOVO_GET_CONFIGURATION_DESCRIPTOR REZOVO_CTL_CODE(0x802)  // 0x222008
#define IOCTL_REZOVO_UNUSED_805 REZOVO_CTL_CODE(0x805)                    // 0x222014
#define IOCTL_REZOVO_UNUSED_806 REZOVO_CTL_CODE(0x806)                    // 0x222018
#define IOCTL_REZOVO_GET_INFO REZOVO_CTL_CODE(0x807)                      // 0x22201C
#define IOCTL_REZOVO_GET_STRING_DESCRIPTOR REZOVO_CTL_CODE(0x808)         // 0x222020
#define IOCTL_REZOVO_NOP REZOVO_CTL_CODE(0x809)                           // 0x222024
#define IOCTL_REZOVO_SET_PORT_VALUE REZOVO_CTL_CODE(0x80E)                // 0x222038
#define IOCTL_REZOVO_READ_PORT REZOVO_CTL_CODE(0x814)                     // 0x222050
#define IOCTL_REZOVO_WRITE_PORT_DATA REZOVO_CTL_CODE(0x850)               // 0x222140
#define IOCTL_REZOVO_PURGE_1 REZOVO_CTL_CODE(0x851)                       // 0x222144
#define IOCTL_REZOVO_PURGE_2 REZOVO_CTL_CODE(0x852)                       // 0x222148
#define IOCTL_REZOVO_COMMAND REZOVO_CTL_CODE(0x853)                       // 0x22214C
#define IOCTL_REZOVO_INTERFACE REZOVO_CTL_CODE(0x854)                     // 0x222150

// Pipe information record: a count, then one entry per pipe of the pipe table.
#define PIPE_INFO_COUNT_OFFSET 0
#define PIPE_INFO_HEADER_LENGTH 4
#define PIPE_INFO_ENTRY_LENGTH 44
#define PIPE_INFO_DIRECTION 0  // endpoint address AND USB_ENDPOINT_DIRECTION_MASK
#define PIPE_INFO_TYPE 1       // PIPE_INFO_TYPE_*
#define PIPE_INFO_ENDPOINT 2
#define PIPE_INFO_INTERVAL 3
#define PIPE_INFO_MAXIMUM_PACKET 4    // 4 bytes
#define PIPE_INFO_MAXIMUM_TRANSFER 8  // 4 bytes
#define PIPE_INFO_NAME 12             // ANSI, NUL-terminated
#define PIPE_INFO_NAME_LENGTH 8
#define PIPE_INFO_RESERVED 20
#define PIPE_INFO_RESERVED_LENGTH 24
#define PIPE_INFO_TYPE_BULK 0
#define PIPE_INFO_TYPE_INTERRUPT 1
#define PIPE_INFO_TYPE_CONTROL 2
#define PIPE_INFO_TYPE_ISOCHRONOUS 3

// GET_INFO answers exactly these bytes.
#define REZOVO_INFO_LENGTH 4
#define REZOVO_INFO_BYTES \
  { 0x00, 0x09, 0x00, 0x01 }

// SET_PORT_VALUE and READ_PORT: two input bytes, the second one used; a status echo out.
#define PORT_REQUEST_INPUT_LENGTH 2
#define PORT_REQUEST_ARGUMENT 1
#define SET_PORT_VALUE_OUTPUT_LENGTH 1
#define READ_PORT_OUTPUT_LENGTH 2
#define STATUS_ECHO 0      // low byte of the converter request's status
#define READ_PORT_REPLY 1  // reply byte 0
#define WRITE_PORT_DATA_OUTPUT_LENGTH 1
#define WRITE_PORT_DATA_LARGEST 0xFFFF  // a control transfer's wLength

// GET_STRING_DESCRIPTOR: the string index in the first input byte.
#define STRING_REQUEST_INDEX 0
#define STRING_REQUEST_INPUT_LENGTH 1

// Command record, input and output of IOCTL_REZOVO_COMMAND.
#define COMMAND_RECORD_LENGTH 10
#define COMMAND_RECORD_SUBCOMMAND 4
#define COMMAND_RECORD_VALUE 5  // 2 bytes; the driver sub-code for COMMAND_DRIVER
#define COMMAND_RECORD_INDEX 7  // 2 bytes; a driver sub-code's argument or result word
// Sub-commands: converter OUT requests, converter IN requests, driver sub-codes.
#define COMMAND_WRITE_LINE_SETTINGS 1
#define COMMAND_WRITE_MODEM_LINES 2
#define COMMAND_WRITE_PURGE 8
#define COMMAND_READ_COUNTERS 4
#define COMMAND_READ_PORT 16
#define COMMAND_DRIVER 255
// Sub-command 2 with this bit in Value also empties the receive queue.
#define COMMAND_MODEM_LINES_RESET_QUEUE 0x0800
// Driver sub-codes.
#define REZOVO_Internal_EnableRateAdaptation 0x0001
#define REZOVO_Internal_DisableRateAdaptation 0x0002
#define REZOVO_Internal_GetRateAdaptation 0x0004
#define REZOVO_Internal_AnswerOne 0x0008
#define REZOVO_Internal_AnswerZero 0x0010
#define REZOVO_Internal_AnswerAllOnes 0x0020
#define REZOVO_Internal_GetReadBufferSize 0x0040
#define REZOVO_Internal_AnswerZeroToo 0x0080
#define REZOVO_Internal_Nothing 0x0100
#define REZOVO_Internal_IsReadingThread 0x0200
#define REZOVO_Internal_SetReadingThread 0x0400
#define REZOVO_Internal_StartPermanentReading 0x0800
#define REZOVO_Internal_StopPermanentReading 0x1000
#define READING_THREAD_START 1  // Index of SetReadingThread; any other stops the thread
#define READ_BUFFER_SIZE_WITHOUT_THREAD TRANSFER_CHUNK_SIZE
#define RESULT_WORD_ALL_ONES 0xFFFF

// Interface record, input and output of IOCTL_REZOVO_INTERFACE.
#define INTERFACE_RECORD_LENGTH 10
#define INTERFACE_RECORD_SELECTOR 4  // 2 bytes
#define INTERFACE_RECORD_NUMBER 6    // 2 bytes; the low byte selects
#define INTERFACE_RECORD_SETTING 8   // 2 bytes; the low byte selects
#define INTERFACE_QUERY 0
#define INTERFACE_SELECT 1

// Little-endian fields of the records.
inline USHORT RecordWord(const UCHAR* Record, ULONG Offset) {
  return (USHORT)(Record[Offset] | (Record[Offset + 1] << 8));
}
inline void SetRecordWord(PUCHAR Record, ULONG Offset, USHORT Value) {
  Record[Offset] = (UCHAR)Value;
  Record[Offset + 1] = (UCHAR)(Value >> 8);
}
inline void SetRecordLong(PUCHAR Record, ULONG Offset, ULONG Value) {
  SetRecordWord(Record, Offset, (USHORT)Value);
  SetRecordWord(Record, Offset + 2, (USHORT)(Value >> 16));
}

// One private request: the system buffer and its two lengths. Handlers read the input they need
// before they write output, since both share Buffer; Buffer is NULL when both lengths are 0.
typedef struct _PRIVATE_REQUEST {
  PUCHAR Buffer;
  ULONG InputLength;
  ULONG OutputLength;
  ULONG_PTR Information;  // bytes of output, never more than OutputLength
} PRIVATE_REQUEST, *PPRIVATE_REQUEST;

NTSTATUS GetPipeInfo(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request);
NTSTATUS CopyDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request);
NTSTATUS CopyConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request);
NTSTATUS CopyStringDescriptor(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request);
NTSTATUS CommandRecord(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request);
NTSTATUS InterfaceRecord(PDEVICE_OBJECT DeviceObject, PPRIVATE_REQUEST Request);
