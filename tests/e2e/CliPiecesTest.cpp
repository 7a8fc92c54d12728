// Pieces of the command-line downloader on their own: the sliding-window
// rate, the port enumeration over a made-up /dev and /sys tree whose device
// nodes are real pseudo-terminals, and the end-of-run reports.
#include "E2EUtil.h"
#include "MiniJson.h"

#include "PortList.h"
#include "RateWindow.h"
#include "Report.h"
#include "Trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;
using std::chrono::milliseconds;

namespace {

using TP = CRateWindow::Clock::time_point;

TP At(int ms) { return TP() + std::chrono::hours(1) + milliseconds(ms); }

void MakeDirs(const std::string& path)
{
    std::string so_far;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        so_far = path.substr(0, pos);
        ::mkdir(so_far.c_str(), 0755);
    }
}

void Put(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
}

void Link(const std::string& target, const std::string& link)
{
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str())) << link;
}

}  // namespace

TEST(CliRateWindow, FollowsTheRecentRateNotTheAverage)
{
    CRateWindow w(milliseconds(3000), milliseconds(50));
    EXPECT_EQ(0.0, w.Rate(At(0)));
    EXPECT_LT(w.EtaSeconds(At(0), 1000), 0.0);

    // A single block tells nothing yet: its bytes went out before any time
    // was measured.
    w.Add(At(0), 255);
    EXPECT_EQ(0.0, w.Rate(At(10)));

    // 10 s at 10000 bytes/s in 1000-byte blocks.
    int t = 0;
    for (; t < 10000; t += 100)
        w.Add(At(t + 100), 1000);
    t = 10000;
    EXPECT_NEAR(10000.0, w.Rate(At(t)), 500.0);
    EXPECT_NEAR(5.0, w.EtaSeconds(At(t), 50000), 0.3);

    // The line slows to 1000 bytes/s. The average since the start would
    // still say about 7000; the window says what happens now.
    for (int i = 0; i < 5; ++i) {
        t += 1000;
        w.Add(At(t), 1000);
    }
    EXPECT_NEAR(1000.0, w.Rate(At(t)), 350.0);

    // Nothing for longer than the window: stalled, no time left to tell.
    EXPECT_EQ(0.0, w.Rate(At(t + 3500)));
    EXPECT_LT(w.EtaSeconds(At(t + 3500), 1000), 0.0);
    // It picks up again at 10000 bytes/s: after 2 s, the last 3 s hold
    // 20000 bytes; the pause before is not averaged in beyond the window.
    for (int i = 1; i <= 40; ++i)
        w.Add(At(t + 3500 + i * 50), 500);
    EXPECT_NEAR(20000.0 / 3.0, w.Rate(At(t + 3500 + 40 * 50)), 400.0);
    EXPECT_EQ(255u + 100000u + 5000u + 20000u, w.Total());
}

TEST(CliRateWindow, MemoryStaysBoundedUnderManySmallBlocks)
{
    CRateWindow w(milliseconds(3000), milliseconds(50));
    // 60 s of one-byte blocks every millisecond.
    for (int t = 0; t < 60000; ++t)
        w.Add(At(t), 1);
    EXPECT_LE(w.Samples(), 3000u / 50u + 2u);
    EXPECT_NEAR(1000.0, w.Rate(At(60000)), 50.0);
}

TEST(CliPortList, FindsAndDescribesPortsInAFakeTree)
{
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    PtyPair usb0, usb2, usb10, acm3, s2;
    ASSERT_TRUE(usb0.Ok() && usb2.Ok() && usb10.Ok() && acm3.Ok() && s2.Ok());

    const std::string dev = dir.File("dev");
    const std::string sys = dir.File("sys");
    MakeDirs(dev + "/serial/by-id");
    // Device nodes: pseudo-terminals answer the termios query like a port.
    Link(usb0.SlavePath(), dev + "/ttyUSB0");
    Link(usb2.SlavePath(), dev + "/ttyUSB2");
    Link(usb10.SlavePath(), dev + "/ttyUSB10");
    Link(acm3.SlavePath(), dev + "/ttyACM3");
    Link(s2.SlavePath(), dev + "/ttyS2");  // the kernel's console
    Link("/nonexistent/zv-tty", dev + "/ttyUSB1");  // unplugged: the node is dangling
    Put(dev + "/ttyS0", "not a tty");                // tcgetattr fails
    Link(usb0.SlavePath(), dev + "/ttyUSBfoo");      // not a port name
    Link(usb0.SlavePath(), dev + "/console");
    Link("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

    // sysfs: ttyUSB0 under a USB device with ids and strings; ttyACM3 on a
    // platform UART with only a driver.
    const std::string usbDev = sys + "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    MakeDirs(usbDev + "/1-2:1.0/ttyUSB0");
    Put(usbDev + "/idVendor", "0403\n");
    Put(usbDev + "/idProduct", "6001\n");
    Put(usbDev + "/manufacturer", "FTDI\n");
    Put(usbDev + "/product", "FT232R USB UART\n");
    Put(usbDev + "/serial", "A50285BI\n");
    // The UART's driver sits above the serial core's own port device.
    const std::string uart = sys + "/devices/platform/zv-uart";
    MakeDirs(uart + "/zv-uart:0/zv-uart:0.0/tty");
    MakeDirs(sys + "/bus/platform/drivers/zv_uart_drv");
    MakeDirs(sys + "/bus/serial-base/drivers/port");
    Link("../../../bus/platform/drivers/zv_uart_drv", uart + "/driver");
    Link("../../../../../bus/serial-base/drivers/port", uart + "/zv-uart:0/zv-uart:0.0/driver");
    MakeDirs(sys + "/class/tty/ttyUSB0");
    MakeDirs(sys + "/class/tty/ttyACM3");
    Link("../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0", sys + "/class/tty/ttyUSB0/device");
    Link("../../../devices/platform/zv-uart/zv-uart:0/zv-uart:0.0", sys + "/class/tty/ttyACM3/device");
    MakeDirs(sys + "/class/tty/console");
    Put(sys + "/class/tty/console/active", "tty0 ttyS2\n");

    PortListRoots roots;
    roots.dev = dev;
    roots.sysfs = sys;
    std::vector<SerialPortInfo> ports = ListSerialPorts(roots);

    std::vector<std::string> paths;
    for (const auto& p : ports)
        paths.push_back(p.path);
    const std::vector<std::string> expected = {dev + "/ttyACM3", dev + "/ttyS2", dev + "/ttyUSB0", dev + "/ttyUSB2",
                                               dev + "/ttyUSB10"};
    ASSERT_EQ(expected, paths);

    const SerialPortInfo& acm = ports[0];
    EXPECT_EQ("", acm.usbId);
    EXPECT_EQ("zv_uart_drv", acm.description);
    EXPECT_EQ("", acm.byId);
    EXPECT_FALSE(acm.console);

    EXPECT_TRUE(ports[1].console);
    EXPECT_EQ("system console", ports[1].note);

    const SerialPortInfo& ftdi = ports[2];
    EXPECT_EQ("0403:6001", ftdi.usbId);
    EXPECT_EQ("A50285BI", ftdi.usbSerial);
    EXPECT_EQ("FTDI FT232R USB UART", ftdi.description);
    EXPECT_EQ(dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", ftdi.byId);
    EXPECT_FALSE(ftdi.console);

    // No sysfs entry: listed, undescribed.
    EXPECT_EQ("", ports[3].usbId);
    EXPECT_EQ("", ports[3].description);

    // One port described on its own (once per box), by its node or by its
    // stable name: the same adapter, serial number included.
    for (const std::string& name : {dev + "/ttyUSB0", ftdi.byId}) {
        SCOPED_TRACE(name);
        SerialPortInfo one = DescribePort(name, roots);
        EXPECT_EQ(name, one.path);
        EXPECT_EQ(ftdi.byId, one.byId);
        EXPECT_EQ("0403:6001", one.usbId);
        EXPECT_EQ("A50285BI", one.usbSerial);
        EXPECT_EQ("FTDI FT232R USB UART", one.description);
    }
    SerialPortInfo plain = DescribePort(dev + "/ttyUSB2", roots);
    EXPECT_EQ("", plain.byId + plain.usbId + plain.usbSerial + plain.description);
    EXPECT_FALSE(plain.console);
    // Without the sysfs list, /proc/consoles names the console.
    PortListRoots procOnly = roots;
    procOnly.sysfs = dir.File("no-sys");
    procOnly.proc = dir.File("proc");
    MakeDirs(procOnly.proc);
    Put(procOnly.proc + "/consoles", "ttyS2                -W- (EC  p a)    4:66\n");
    EXPECT_TRUE(DescribePort(dev + "/ttyS2", procOnly).console);
    EXPECT_FALSE(DescribePort(dev + "/ttyUSB2", procOnly).console);

    // The by-id name and the node it points at are one port.
    EXPECT_EQ(PortIdentity(dev + "/ttyUSB0"), PortIdentity(ftdi.byId));
    EXPECT_NE(PortIdentity(dev + "/ttyUSB0"), PortIdentity(dev + "/ttyUSB2"));

    // Patterns expand in natural order, dangling nodes included (opening
    // them says what is wrong); a pattern that matches nothing gives nothing.
    const std::vector<std::string> usb = {dev + "/ttyUSB0", dev + "/ttyUSB1", dev + "/ttyUSB2",
                                          dev + "/ttyUSB10"};
    EXPECT_EQ(usb, ExpandPortArgument(dev + "/ttyUSB[0-9]*", roots));
    EXPECT_TRUE(ExpandPortArgument(dev + "/ttyXYZ*", roots).empty());
    // A pattern never takes the console from the kernel; named, it is used.
    EXPECT_EQ(std::vector<std::string>{dev + "/ttyACM3"}, ExpandPortArgument(dev + "/tty[AS]*", roots));
    EXPECT_EQ(std::vector<std::string>{dev + "/ttyS2"}, ExpandPortArgument(dev + "/ttyS2", roots));
    // A wide pattern leaves out what is no serial line: a plain file, the
    // controlling terminal, directories, the system console.
    Link("/dev/tty", dev + "/ttyS1");
    std::vector<std::string> wide = ExpandPortArgument(dev + "/*", roots);
    EXPECT_EQ(std::vector<std::string>({dev + "/console", dev + "/ttyACM3", dev + "/ttyUSB0", dev + "/ttyUSB1",
                                        dev + "/ttyUSB2", dev + "/ttyUSB10", dev + "/ttyUSBfoo"}),
              wide);
    EXPECT_EQ(std::vector<std::string>{dev + "/ttyQ9"}, ExpandPortArgument(dev + "/ttyQ9", roots));
}

TEST(CliPortList, NamesAndPatterns)
{
    EXPECT_TRUE(PortNameLess("ttyUSB2", "ttyUSB10"));
    EXPECT_FALSE(PortNameLess("ttyUSB10", "ttyUSB2"));
    EXPECT_TRUE(PortNameLess("COM9", "COM10"));
    EXPECT_TRUE(PortNameLess("ttyACM0", "ttyUSB0"));
    EXPECT_FALSE(PortNameLess("COM3", "COM3"));
    EXPECT_TRUE(PortNameLess("COM003", "COM10"));

    // The Windows pattern matcher (COM list), case-insensitive there.
    EXPECT_TRUE(WildcardMatch("COM*", "com12", true));
    EXPECT_FALSE(WildcardMatch("COM*", "com12", false));
    EXPECT_TRUE(WildcardMatch("COM?", "COM7", false));
    EXPECT_FALSE(WildcardMatch("COM?", "COM17", false));
    EXPECT_TRUE(WildcardMatch("*USB*1", "/dev/ttyUSB11", false));
    EXPECT_FALSE(WildcardMatch("*USB*1", "/dev/ttyUSB12", false));
    EXPECT_TRUE(WildcardMatch("**", "", false));
}

TEST(CliReport, ExitCodeJsonAndSummary)
{
    auto outcome = [](const std::string& port, int code) {
        BoxRecord o;
        o.port = port;
        o.exitCode = code;
        return o;
    };
    EXPECT_EQ(0, CombinedExitCode({outcome("a", 0), outcome("b", 0)}));
    EXPECT_EQ(5, CombinedExitCode({outcome("a", 0), outcome("b", 5), outcome("c", 6)}));
    EXPECT_EQ(4, CombinedExitCode({outcome("a", 6), outcome("b", 5), outcome("c", 4)}));
    EXPECT_EQ(3, CombinedExitCode({outcome("a", 4), outcome("b", 3)}));
    EXPECT_EQ(130, CombinedExitCode({outcome("a", 4), outcome("b", 130), outcome("c", 1)}));
    EXPECT_EQ(6, CombinedExitCode({outcome("a", 0), outcome("b", 6)}));

    // Names with quotes, backslashes and control bytes still give valid JSON.
    BoxRecord o = outcome("C:\\ports\\\"odd\"\tport\x01", 5);
    o.speed = 921600;
    o.file = "fw \"1\".wzb";
    o.fileSize = 65536;
    o.result = "size_over";
    o.status = "Error : File size is over.";
    o.served = 65535;
    o.blocks = 257;
    o.requests = 260;
    o.badFrames = 1;
    o.elapsed = 1.5;
    o.transferSeconds = 0.25;
    std::map<std::string, MiniJson::Value> j;
    std::string error;
    ASSERT_TRUE(MiniJson::ParseObject(RecordJson(o, RecordContext()), j, error)) << error;
    EXPECT_EQ(o.port, j["port"].text);
    EXPECT_EQ("fw \"1\".wzb", j["file"].text);
    EXPECT_EQ(921600, j["speed"].number);
    EXPECT_EQ(65536, j["file_size"].number);
    EXPECT_EQ("size_over", j["result"].text);
    EXPECT_EQ(5, j["exit_code"].number);
    EXPECT_EQ(65535, j["bytes_served"].number);
    EXPECT_EQ(260, j["requests"].number);
    EXPECT_EQ(1, j["bad_frames"].number);
    EXPECT_DOUBLE_EQ(1.5, j["elapsed"].number);
    EXPECT_DOUBLE_EQ(0.25, j["transfer_seconds"].number);

    // The summary: a header and a row per port, columns aligned; what the
    // box asked for, with its share of what it could reach.
    BoxRecord ok = outcome("/dev/ttyUSB0", 0);
    ok.status = "Completely Transfered!";
    ok.served = 65536;
    ok.requested = 2048;
    ok.addressable = 65536;
    ok.transferSeconds = 2.0;
    BoxRecord bad = outcome("/dev/ttyUSB10", 4);
    bad.status = "Initializing Failed!";
    bad.detail = "No such file or directory";
    std::vector<std::string> lines = SummaryLines({ok, bad});
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(0u, lines[0].find("PORT"));
    EXPECT_NE(std::string::npos, lines[1].find("Completely Transfered!"));
    EXPECT_NE(std::string::npos, lines[1].find("2048 (3.1%)"));
    EXPECT_NE(std::string::npos, lines[1].find("32.0 KiB/s"));
    EXPECT_NE(std::string::npos, lines[2].find("Initializing Failed! No such file or directory"));
    EXPECT_EQ(lines[1].find("Completely"), lines[2].find("Initializing"));
}

TEST(CliTrace, FrameLines)
{
    // A received data request whose checksum is off by one.
    unsigned char req[] = {0x05, 4, 4, 0xff, 0x00, 0x01, 0xfe, 0x00};
    req[7] = static_cast<unsigned char>(0x05 + 4 + 4 + 0xff + 0x00 + 0x01 + 0xfe + 1);
    std::string line = TraceFrameLine(1.5, '<', req, true);
    EXPECT_NE(std::string::npos, line.find("1.500000 < tag=05 DATA_REQ  len=4   BAD  ff 00 01 fe")) << line;
    req[7] -= 1;
    line = TraceFrameLine(1.5, '<', req, true);
    EXPECT_NE(std::string::npos, line.find("< tag=05 DATA_REQ  len=4   ok   ff 00 01 fe")) << line;
    EXPECT_EQ(std::string::npos, line.find("BAD"));

    // A sent block shows its first 16 bytes only.
    unsigned char data[3 + 255];
    data[0] = 0x05;
    data[1] = 5;
    data[2] = 255;
    for (int i = 0; i < 255; ++i)
        data[3 + i] = static_cast<unsigned char>(i);
    line = TraceFrameLine(2.0, '>', data, false);
    EXPECT_NE(std::string::npos, line.find("> tag=05 DATA      len=255 ok   00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ..."))
        << line;
    EXPECT_EQ(std::string::npos, line.find(" 10 "));

    EXPECT_EQ("TYPE_3", FrameTypeName(3));
    EXPECT_EQ("TIME_REQ", FrameTypeName(16));
}
