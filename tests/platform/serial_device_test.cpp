#include "platform/serial_device.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/common/pty.h"

namespace zb::platform {
namespace {

TEST(SerialDevice, PortNumbersMapToPaths) {
  ::unsetenv("ZELBACNET_COM3");
  EXPECT_EQ(SerialDevice::DevicePathForPort(1), "/dev/ttyS0");
  EXPECT_EQ(SerialDevice::DevicePathForPort(3), "/dev/ttyS2");
  EXPECT_EQ(SerialDevice::DevicePathForPort(64), "/dev/ttyS63");
  EXPECT_EQ(SerialDevice::DevicePathForPort(0), "");
  EXPECT_EQ(SerialDevice::DevicePathForPort(65), "");
  ::setenv("ZELBACNET_COM3", "/dev/pts/77", 1);
  EXPECT_EQ(SerialDevice::DevicePathForPort(3), "/dev/pts/77");
  ::setenv("ZELBACNET_COM3", "", 1);  // empty: as if unset
  EXPECT_EQ(SerialDevice::DevicePathForPort(3), "/dev/ttyS2");
  ::unsetenv("ZELBACNET_COM3");
}

TEST(SerialDevice, RawLineOnPseudoTerminal) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice dev;
  std::string error;
  ASSERT_TRUE(dev.OpenPath(pty.slave_path(), 19200, &error)) << error;
  termios tio{};
  ASSERT_EQ(::tcgetattr(dev.fd(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), B19200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL));
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
  EXPECT_TRUE(dev.SetBaud(300));
  ASSERT_EQ(::tcgetattr(dev.fd(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), B300);
  EXPECT_FALSE(dev.SetBaud(12345));

  // Every octet value passes unchanged both ways, XON and XOFF included.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  ASSERT_EQ(dev.Write(all.data(), all.size()), 256);
  std::string got;
  char buf[512];
  for (int tries = 0; tries < 200 && got.size() < 256; ++tries) {
    ssize_t n = ::read(pty.master(), buf, sizeof buf);
    if (n > 0)
      got.append(buf, static_cast<size_t>(n));
    else
      ::usleep(1000);
  }
  EXPECT_EQ(got, all);
  ASSERT_EQ(::write(pty.master(), all.data(), all.size()), 256);
  got.clear();
  for (int tries = 0; tries < 200 && got.size() < 256; ++tries) {
    long n = dev.Read(buf, sizeof buf);
    if (n > 0)
      got.append(buf, static_cast<size_t>(n));
    else
      ::usleep(1000);
  }
  EXPECT_EQ(got, all);

  // No modem lines here: setting them is harmless, carrier reads as present.
  dev.SetDTR(false);
  dev.SetRTS(true);
  EXPECT_FALSE(dev.DTR());
  EXPECT_TRUE(dev.CarrierDetect());
  SerialErrorCounts counts;
  dev.ErrorCounts(&counts);  // may or may not be supported; must not fail hard
}

TEST(SerialDevice, ExclusiveAndMissing) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice a, b;
  std::string error;
  ASSERT_TRUE(a.OpenPath(pty.slave_path(), 9600, &error));
  EXPECT_FALSE(b.OpenPath(pty.slave_path(), 9600, &error));
  EXPECT_NE(error.find("in use"), std::string::npos);
  a.Close();
  a.Close();
  EXPECT_TRUE(b.OpenPath(pty.slave_path(), 9600, &error));
  SerialDevice c;
  EXPECT_FALSE(c.OpenPath("/nonexistent/ttyX", 9600, &error));
  EXPECT_FALSE(c.OpenPath("/dev/null", 9600, &error));  // not a terminal
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.Write("x", 1), -1);
  EXPECT_FALSE(c.OpenPort(0, 9600, &error));
}

class Lines : public ModemLineEmulation {
 public:
  void SetDTR(bool on) override { dtr.push_back(on); }
  void SetRTS(bool on) override { rts.push_back(on); }
  bool CarrierDetect() override { return dcd; }
  std::vector<bool> dtr, rts;
  bool dcd = false;
};

TEST(SerialDevice, ModemLineEmulation) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Lines lines;
  ModemLineEmulations emulations;
  emulations.Set(pty.slave_path(), &lines);
  SerialDevice dev(&emulations);
  std::string error;
  ASSERT_TRUE(dev.OpenPath(pty.slave_path(), 9600, &error));
  dev.SetDTR(false);
  dev.SetDTR(true);
  EXPECT_EQ(lines.dtr, (std::vector<bool>{true, false, true}));  // as opened, then the changes
  EXPECT_FALSE(dev.CarrierDetect());
  lines.dcd = true;
  EXPECT_TRUE(dev.CarrierDetect());
  emulations.Set(pty.slave_path(), nullptr);
  lines.dcd = false;
  EXPECT_TRUE(dev.CarrierDetect());
}

}  // namespace
}  // namespace zb::platform
