// Where the read and write dispatch routines find a request's parameters and the pipe it names.
#pragma once
#include "driver/device_extension.h"

// The stack location whose Read or Write parameters and file object apply: the next one for the
// one request the serial I/O adapter hands over (UseNextStackLocation, consumed here), else the
// current one.
PIO_STACK_LOCATION TakeRequestParameters(PDEVICE_EXTENSION Extension, PIRP Irp);
// The pipe a handle opened by pipe name refers to, or NULL.
PPIPE_ENTRY PipeOfFile(PFILE_OBJECT FileObject);
// The pipe a read (In) or write uses when the handle names none: InPipe or OutPipe, else the
// first entry of that direction, which becomes InPipe or OutPipe; NULL when there is none.
PPIPE_ENTRY DefaultPipe(PDEVICE_EXTENSION Extension, BOOLEAN In);
