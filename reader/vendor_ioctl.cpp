// RDF_IOCTL_VENDOR: whatever the vendor request, the answer is the same text.
#include "reader/io_request.h"
#include "reader/pass_through.h"
#include "reader/reader_functions.h"

static const char VendorAnswer[] = VENDOR_IOCTL_ANSWER;

NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
      SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(VendorAnswer)) {
    SetRequestInformation(SmartcardExtension, 0);
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, VendorAnswer, sizeof(VendorAnswer));
  // The terminating zero is written but not counted.
  SetRequestInformation(SmartcardExtension, sizeof(VendorAnswer) - 1);
  return STATUS_SUCCESS;
}
