// The decisions CSerialComm's Win32 Open makes about the line, kept apart
// from the API calls so they can be checked without a port
// (LineSettings_win32.cpp).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>

// Reads return at once with whatever is buffered; writes get 1 ms per byte
// at 19200 baud and no timeout at the higher speeds (19200 / baud in integer
// division). A baud of 0 gets no write timeout instead of a division fault.
COMMTIMEOUTS SerialTimeoutsForBaud(uint32_t baud);

// The raw line the box needs, whatever the driver held before: binary, 8
// data bits, no parity, one stop bit at baud; no flow control of any kind,
// no DSR sensitivity, no error or null replacement, no abort on error, DTR
// and RTS on. The special characters and limits stay as the driver
// reported them (unused once flow control is off).
void SetLineSettings(DCB& dcb, uint32_t baud);

// The name CreateFile needs: "COM1" becomes "\\.\COM1" so that COM10 and
// above open too; a name that already is a device path is kept.
std::string SerialDevicePath(const std::string& portName);
