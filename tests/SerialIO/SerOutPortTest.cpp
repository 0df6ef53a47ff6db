// The application's serial output port over real pseudo-terminals.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Pty.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "SerialIO/native/SerialNative.h"
#include "app/SerOutPort.h"

namespace {


std::unique_ptr<SerOutPort> makePort(const std::string& name, std::string* console = nullptr) {
    testing::internal::CaptureStdout();
    auto port = std::make_unique<SerOutPort>(name, "KIVO16", 9600, 8, 1, "None", "None");
    std::string out = testing::internal::GetCapturedStdout();
    // The serial layer announces its native library once per process, at the first port.
    if (out.rfind("SerialPort class loaded: ", 0) == 0) out.erase(0, out.find('\n') + 1);
    if (console) *console = out;
    return port;
}

}  // namespace

TEST(SerOutPort, Com0MeansNoPortAndNothingFails) {
    SerOutPort::NoCOM = 5;
    std::string console;
    auto port = makePort("COM0", &console);
    EXPECT_EQ(SerOutPort::NoCOM.load(), 0);
    EXPECT_EQ(console, "");
    EXPECT_EQ(port->SendSerial({0xFE, 0x01, 0x05}), std::vector<uint8_t>(64, 0));
    EXPECT_FALSE(port->SendSer(std::vector<uint8_t>{1}));
    EXPECT_FALSE(port->SendSer(std::string("abc")));
    EXPECT_EQ(port->ReadSer(), std::vector<uint8_t>(64, 0));
    EXPECT_EQ(port->SerCount(), 0);
}

TEST(SerOutPort, FailedOpenGivesNoCom1AndTheReasonOnALineOfItsOwn) {
    std::string console;
    makePort("/dev/does-not-exist", &console);
    EXPECT_EQ(SerOutPort::NoCOM.load(), 1);
    EXPECT_EQ(console,
              "SerialIO::IOException: SerOpenPort failed: Port not valid\n"
              "Serial device /dev/does-not-exist not found\n");
    makePort("com0", &console);  // only the exact upper-case name means "no port"
    EXPECT_EQ(SerOutPort::NoCOM.load(), 1);
    EXPECT_EQ(console,
              "SerialIO::IOException: SerOpenPort failed: Port not valid\n"
              "Serial port: SerOpenPort: no port named \"com0\"\n");
    // A name made of control characters reaches the console as question marks.
    makePort(std::string("COM\x1b[2J\x01", 8), &console);
    EXPECT_EQ(console,
              "SerialIO::IOException: SerOpenPort failed: Port not valid\n"
              "Serial port: SerOpenPort: no port named \"COM?[2J?\"\n");
}

TEST(SerOutPort, SendsFramesPacedAndText) {
    Pty pty;
    SerialIO::mapPortName("COM5", pty.slavePath);
    auto port = makePort("COM5");
    ASSERT_EQ(SerOutPort::NoCOM.load(), 0);

    const auto start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> in = port->SendSerial({0xFE, 0x01, 0x05});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(in, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(pty.readSome(3), (std::vector<uint8_t>{0xFE, 0x01, 0x05}));
    EXPECT_EQ(SerOutPort::iodebug(), "Serial Out: FE0105  ");
    EXPECT_EQ(port->GetSerError(), 0);

    EXPECT_TRUE(port->SendSer(std::string("abc")));
    EXPECT_EQ(pty.readSome(4), (std::vector<uint8_t>{0x61, 0x62, 0x63, 0x0A}));

    const auto start2 = std::chrono::steady_clock::now();
    port->SendSerial({});  // nothing sent, still paced
    EXPECT_GE(std::chrono::steady_clock::now() - start2, std::chrono::milliseconds(50));
}

TEST(SerOutPort, ReadSerKeepsTheLastChunk) {
    Pty pty;
    SerialIO::mapPortName("COM6", pty.slavePath);
    auto port = makePort("COM6");
    ASSERT_EQ(SerOutPort::NoCOM.load(), 0);
    EXPECT_EQ(port->ReadSer(), std::vector<uint8_t>(64, 0));
    EXPECT_EQ(port->SerCount(), 0);

    std::vector<uint8_t> seventy(70);
    for (int i = 0; i < 70; ++i) seventy[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(::write(pty.master, seventy.data(), seventy.size()), 70);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<uint8_t> serin = port->ReadSer();
    EXPECT_EQ(port->SerCount(), 6);
    EXPECT_EQ(serin[0], 65);  // the last chunk, bytes 65..70, from index 0
    EXPECT_EQ(serin[5], 70);
    EXPECT_EQ(serin[6], 7);   // left behind by the first, longer chunk
    EXPECT_NE(SerOutPort::iodebug().find("Serial In: 414243444546"), std::string::npos);
}

TEST(SerOutPort, ANameWithANulByteReachesTheDeviceGivenForIt) {
    Pty pty;
    const std::string name("COM\0", 4);  // a configuration byte outside the table gives such a name
    SerialIO::mapPortName(name, pty.slavePath);
    auto port = makePort(name);
    EXPECT_EQ(SerOutPort::NoCOM.load(), 0);
}

TEST(SerOutPort, WriteFailureIsRecorded) {
    Pty pty;
    SerialIO::mapPortName("COM7", pty.slavePath);
    auto port = makePort("COM7");
    ASSERT_EQ(SerOutPort::NoCOM.load(), 0);
    pty.closeMaster();
    port->SendSerial({0xFE, 0x02, 0x01});
    EXPECT_EQ(port->GetSerError(), 1);
    EXPECT_FALSE(port->SendSer(std::string("x")));
    port->ReadSer();  // whatever the hung-up line answers, no crash and no error escapes
}

TEST(SerOutPort, ALineThatTakesNothingFailsTheWriteAndWorksOnceItTakesAgain) {
    Pty pty;
    SerialIO::mapPortName("COM8", pty.slavePath);
    auto port = makePort("COM8");
    ASSERT_EQ(SerOutPort::NoCOM.load(), 0);
    std::atomic<size_t> told{0};  // bytes the port says went out, of whole and of cut-off commands
    port->onWritten = [&](const std::vector<uint8_t>& bytes) { told += bytes.size(); };
    // The device side reads nothing: the line's buffers fill, then a write must give up.
    const std::vector<uint8_t> command(499, 0x55);
    auto filling = std::async(std::launch::async, [&] {
        for (int i = 0; i < 1000; ++i) {
            port->SendSerial(command);
            if (port->GetSerError() != 0) return true;
        }
        return false;
    });
    const bool ended = filling.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!ended) pty.closeMaster();  // frees the stuck write, so that the test can end
    ASSERT_TRUE(ended) << "a write waited for room on the line without end";
    EXPECT_TRUE(filling.get()) << "the line took 499 kB without a reader";

    // Read empty: exactly what the port said went out is on the line. Then it takes frames again.
    size_t drained = 0;
    ::fcntl(pty.master, F_SETFL, O_NONBLOCK);
    for (uint8_t chunk[4096]; ;) {
        const ssize_t n = ::read(pty.master, chunk, sizeof chunk);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    EXPECT_EQ(drained, told.load());
    EXPECT_NE(drained % command.size(), 0u) << "the test wants a write cut off in the middle";
    port->SendSerial({0xFE, 0x01, 0x05});
    EXPECT_EQ(port->GetSerError(), 0);
}
