// The line as the box needs it: timeouts, framing and flow control, and the
// device name CreateFile takes. See LineSettings_win32.h.
#include "LineSettings_win32.h"

COMMTIMEOUTS SerialTimeoutsForBaud(uint32_t baud)
{
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = baud ? 19200u / baud : 0;
    t.WriteTotalTimeoutConstant = 0;
    return t;
}

void SetLineSettings(DCB& dcb, uint32_t baud)
{
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Whatever another program or the driver left must not touch a binary
    // transfer: XON/XOFF would take 0x11 and 0x13 out of the frames, RTS/CTS
    // or DSR sensitivity would block or deafen a 3-wire cable, and null or
    // error replacement would change bytes.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // An error must not abort reads until ClearCommError: the watcher
    // would take that for an unplugged port.
    dcb.fAbortOnError = FALSE;
}

std::string SerialDevicePath(const std::string& portName)
{
    if (portName.compare(0, 2, "\\\\") == 0)
        return portName;
    return "\\\\.\\" + portName;
}
