// Opening the chosen COM port and setting the line the boot loader expects:
// 115200 baud, 8 data bits, even parity, one stop bit, no flow control.
#include <windows.h>

#include <stdio.h>

#include "engine/sequencer.h"
#include "report/fatal.h"
#include "report/report.h"
#include "serial/serial.h"

int32_t open_serial_port(modbus_transfer *t)
{
    long baud_rate = t->baud_rate;
    trace(" . Opening serial port %s at %ld baud\n", t->port_name, baud_rate);

    // No sharing: while a run is on, nothing else should talk to the device.
    // Synchronous I/O, so that the read time-outs below pace the engine.
    t->port = CreateFileA(t->port_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (t->port == INVALID_HANDLE_VALUE) {
        fatal_error("Unable to open serial port. In use already, or not present");
    }

    // A port whose settings cannot be read is still tried as it stands.
    configure_port(t->port, t->baud_rate);

    t->state = PROG_STATE_IDLE;
    return 0;
}

void configure_port(port_handle port, int32_t baud)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        fprintf(stderr, "Could not get Port State\n");
        return;
    }

    // Only the members the boot loader's line depends on change; the rest of
    // the port's state stays as the driver had it.
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0; // received bytes are checked by the frame CRC instead
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;

    // Every member of the time-outs is set: there is nothing of the
    // driver's to keep.
    const port_timeouts line = line_timeouts();
    COMMTIMEOUTS cto = {};
    cto.ReadIntervalTimeout = line.read_interval;
    cto.ReadTotalTimeoutMultiplier = line.read_total_multiplier;
    cto.ReadTotalTimeoutConstant = line.read_total_constant;
    cto.WriteTotalTimeoutMultiplier = line.write_total_multiplier;
    cto.WriteTotalTimeoutConstant = line.write_total_constant;

    SetCommState(port, &dcb);
    SetCommTimeouts(port, &cto);
    SetCommMask(port, 0); // the engine polls with reads; no events wanted
}
