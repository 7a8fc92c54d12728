// The Win32 serial port's line decisions, and the calls that must work
// without any port behind them.

#include "serial/SerialComm.h"
#include "serial/LineSettings_win32.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(SerialCommWin32, WriteTimeoutFollowsBaudAndReadsNeverWait)
{
    const struct {
        uint32_t baud;
        DWORD multiplier;
    } cases[] = {{19200, 1}, {38400, 0}, {57600, 0}, {115200, 0}, {9600, 2}, {0, 0}};
    for (const auto& c : cases) {
        COMMTIMEOUTS t = SerialTimeoutsForBaud(c.baud);
        EXPECT_EQ(c.multiplier, t.WriteTotalTimeoutMultiplier) << c.baud;
        EXPECT_EQ(0u, t.WriteTotalTimeoutConstant) << c.baud;
        EXPECT_EQ(MAXDWORD, t.ReadIntervalTimeout) << c.baud;
        EXPECT_EQ(0u, t.ReadTotalTimeoutMultiplier) << c.baud;
        EXPECT_EQ(0u, t.ReadTotalTimeoutConstant) << c.baud;
    }
}

TEST(SerialCommWin32, LineIsRawWhateverTheDriverHeld)
{
    // A driver left with every flag set (software and hardware flow
    // control, DSR sensitivity, null stripping, error replacement, abort on
    // error) or with none: the line comes out the same, binary 8N1 with no
    // flow control and DTR and RTS on. The special characters stay.
    for (unsigned char fill : {0x00, 0xFF, 0x5A, 0xA5}) {
        DCB dcb;
        std::memset(&dcb, fill, sizeof dcb);
        dcb.DCBlength = sizeof(DCB);
        SetLineSettings(dcb, 57600);
        EXPECT_EQ(57600u, dcb.BaudRate);
        EXPECT_EQ(8, dcb.ByteSize);
        EXPECT_EQ(NOPARITY, dcb.Parity);
        EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
        EXPECT_EQ(1u, dcb.fBinary) << "fill " << int(fill);
        EXPECT_EQ(0u, dcb.fParity);
        EXPECT_EQ(0u, dcb.fOutxCtsFlow);
        EXPECT_EQ(0u, dcb.fOutxDsrFlow);
        EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), dcb.fDtrControl);
        EXPECT_EQ(0u, dcb.fDsrSensitivity);
        EXPECT_EQ(0u, dcb.fOutX);
        EXPECT_EQ(0u, dcb.fInX);
        EXPECT_EQ(0u, dcb.fErrorChar);
        EXPECT_EQ(0u, dcb.fNull);
        EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_ENABLE), dcb.fRtsControl);
        EXPECT_EQ(0u, dcb.fAbortOnError);
        EXPECT_EQ(static_cast<char>(fill), dcb.XonChar);
        EXPECT_EQ(static_cast<char>(fill), dcb.XoffChar);
    }
}

TEST(SerialCommWin32, DevicePathReachesPortsPastCom9)
{
    EXPECT_EQ("\\\\.\\COM1", SerialDevicePath("COM1"));
    EXPECT_EQ("\\\\.\\COM12", SerialDevicePath("COM12"));
    EXPECT_EQ("\\\\.\\COM3", SerialDevicePath("\\\\.\\COM3"));
}

TEST(SerialCommWin32, CloseWithoutOpenTouchesOnlyTheConnectedFlag)
{
    CSerialComm port;
    port.m_QueueRead.Put(0x42);
    port.m_QueueRead.Put(0x43);
    port.Close();
    port.Close();
    EXPECT_EQ(0, port.IsConnected());
    EXPECT_FALSE(port.WatcherRunning());
    EXPECT_EQ("", port.PortName());
    EXPECT_EQ(2, port.m_QueueRead.Count());

    unsigned char byte = 0;
    EXPECT_EQ(0, port.Write("x", 1));
    EXPECT_EQ(0, port.Read(&byte, 1));
}

TEST(SerialCommWin32, PortThatCannotOpenStartsNoWatcher)
{
    CSerialComm port;
    EXPECT_EQ(0, port.Open("COM77", 115200, 77));
    EXPECT_EQ(0, port.IsConnected());
    EXPECT_FALSE(port.WatcherRunning());
    EXPECT_EQ(0, port.Write("x", 1));

    EXPECT_EQ(0, port.Open("NOSUCHPORT", 19200, 1));
    EXPECT_FALSE(port.WatcherRunning());
    port.Close();
    EXPECT_EQ(0, port.IsConnected());
}
