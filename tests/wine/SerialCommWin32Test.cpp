// The Win32 serial port's line decisions, and the calls that must work
// without any port behind them.

#include "serial/SerialComm.h"
#include "serial/SerialComm_win32.h"

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

TEST(SerialCommWin32, LineSettingsChangeOnlySpeedAndFraming)
{
    // Whatever the driver reported (flow control, special characters,
    // flag bits) must reach SetCommState unchanged.
    for (unsigned char fill : {0x00, 0xFF, 0x5A, 0xA5}) {
        DCB dcb;
        std::memset(&dcb, fill, sizeof dcb);
        dcb.DCBlength = sizeof(DCB);
        DCB expected = dcb;
        expected.BaudRate = 57600;
        expected.ByteSize = 8;
        expected.Parity = NOPARITY;
        expected.StopBits = ONESTOPBIT;

        SetLineSettings(dcb, 57600);
        EXPECT_EQ(0, std::memcmp(&expected, &dcb, sizeof dcb)) << "fill " << int(fill);
        EXPECT_EQ(57600u, dcb.BaudRate);
        EXPECT_EQ(8, dcb.ByteSize);
        EXPECT_EQ(NOPARITY, dcb.Parity);
        EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
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
