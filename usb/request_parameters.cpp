// Parameters and pipes of read and write requests.
#include "usb/request_parameters.h"

PIO_STACK_LOCATION TakeRequestParameters(PDEVICE_EXTENSION Extension, PIRP Irp) {
  if (Extension->UseNextStackLocation) {
    Extension->UseNextStackLocation = FALSE;
    return IoGetNextIrpStackLocation(Irp);
  }
  return IoGetCurrentIrpStackLocation(Irp);
}

PPIPE_ENTRY PipeOfFile(PFILE_OBJECT FileObject) {
  return FileObject != NULL ? (PPIPE_ENTRY)FileObject->FsContext : NULL;
}

PPIPE_ENTRY DefaultPipe(PDEVICE_EXTENSION Extension, BOOLEAN In) {
  PPIPE_ENTRY* Known = In ? &Extension->InPipe : &Extension->OutPipe;
  if (*Known != NULL) return *Known;
  for (ULONG i = 0; i < PIPE_COUNT; ++i) {
    PUSBD_PIPE_INFORMATION Pipe = Extension->Pipes[i].PipeInfo;
    if (Pipe != NULL && (USB_ENDPOINT_DIRECTION_IN(Pipe->EndpointAddress) != 0) == (In != 0)) {
      *Known = &Extension->Pipes[i];
      return *Known;
    }
  }
  return NULL;
}
