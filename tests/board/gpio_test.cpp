#include "board/gpio.h"

#include <gtest/gtest.h>

#include "support/fifo_guard.h"
#include "support/test_support.h"

using cmtest::readFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class GpioTest : public testing::Test {
protected:
    void SetUp() override { initGPIOs(); }
    std::string gpio(const std::string& leaf) const { return root.path("/sys/class/gpio/" + leaf); }
    cmtest::BoardRoot root;
};

TEST_F(GpioTest, FirstWriteExportsAndSetsDirectionThenRepeatsCostNothing) {
    root.addGpioPin(87, "0");
    EXPECT_EQ(setGPIO(87, "out", 1), 0);
    EXPECT_EQ(readFile(gpio("export")), "87");
    EXPECT_EQ(readFile(gpio("gpio87/direction")), "out");
    EXPECT_EQ(readFile(gpio("gpio87/value")), "01");  // value files are opened for appending
    // The same value again: no file is opened (a vanished tree would show).
    cmtest::removeTree(gpio("gpio87"));
    EXPECT_EQ(setGPIO(87, "out", 1), 0);
    EXPECT_EQ(gpio_states[87].load(), 1);
}

TEST_F(GpioTest, FailedValueOpenResetsThePinSoTheNextCallSetsItUpAgain) {
    CaptureStdout();
    EXPECT_EQ(setGPIO(87, "out", 1), 1);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Cannot open direction handle.\n"), std::string::npos);
    EXPECT_NE(out.find("Cannot open value handle.\n"), std::string::npos);
    EXPECT_EQ(gpio_states[87].load(), -1);
    root.addGpioPin(87, "");
    cmtest::writeFile(gpio("export"), "");
    EXPECT_EQ(setGPIO(87, "out", 1), 0);
    EXPECT_EQ(readFile(gpio("export")), "87");
}

TEST_F(GpioTest, MissingGpioDirectoryIsReportedNeverFatal) {
    cmtest::removeTree(root.path("/sys/class/gpio"));
    CaptureStdout();
    EXPECT_EQ(getGPIO(66), -1);
    EXPECT_EQ(setGPIO(87, "out", 0), 1);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Cannot export the GPIO pin.\n"), std::string::npos);
    EXPECT_EQ(gpio_states[66].load(), -1);
}

TEST_F(GpioTest, InputIsExportedOnceThenOnlyRead) {
    root.addGpioPin(38, "1\n");
    EXPECT_EQ(getGPIO(1, 6), 1);  // bank 1, line 6 is pin 38
    EXPECT_EQ(readFile(gpio("export")), "38");
    EXPECT_EQ(readFile(gpio("gpio38/direction")), "in");
    cmtest::writeFile(gpio("gpio38/direction"), "untouched");
    root.setGpioValue(38, "0");
    EXPECT_EQ(getGPIO(38), 0);
    EXPECT_EQ(readFile(gpio("export")), "38");
    EXPECT_EQ(readFile(gpio("gpio38/direction")), "untouched");
}

TEST_F(GpioTest, ValueThatIsNotANumberReadsAsMinusOneAndKeepsTheState) {
    root.addGpioPin(66, "high");
    EXPECT_EQ(getGPIO(66), -1);
    EXPECT_EQ(gpio_states[66].load(), 0);
    root.setGpioValue(66, "");
    EXPECT_EQ(getGPIO(66), -1);
    root.setGpioValue(66, "99999999999999999999");
    EXPECT_EQ(getGPIO(66), -1);
    root.setGpioValue(66, " 1");
    EXPECT_EQ(getGPIO(66), 1);
}

TEST_F(GpioTest, UnreadableValueFileResetsThePin) {
    root.addGpioPin(66, "1");
    EXPECT_EQ(getGPIO(66), 1);
    cmtest::removeTree(gpio("gpio66"));
    CaptureStdout();
    EXPECT_EQ(getGPIO(66), -1);
    EXPECT_EQ(GetCapturedStdout(), "Cannot open value handle.\n");
    EXPECT_EQ(gpio_states[66].load(), -1);
    root.addGpioPin(66, "1");  // the next read sets the pin up again
    EXPECT_EQ(getGPIO(66), 1);
    EXPECT_EQ(cmtest::readFile(gpio("export")), "6666");
}

TEST_F(GpioTest, PinsOutsideTheTableAreRejected) {
    CaptureStdout();
    EXPECT_EQ(getGPIO(200), -1);
    EXPECT_EQ(setGPIO(200, "out", 1), 1);
    EXPECT_EQ(getGPIO(-1), -1);
    EXPECT_EQ(getGPIO(7, 0), -1);  // bank 7 is pin 224
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "invalid GPIO PIN 200\n"), 2);
    EXPECT_EQ(cmtest::countOf(out, "invalid GPIO PIN 224\n"), 1);
    EXPECT_EQ(readFile(gpio("export")), "");
}

TEST_F(GpioTest, BeforeInitEveryPinCountsAsSetUp) {
    for (auto& s : gpio_states) s.store(0);
    root.addGpioPin(10, "1");
    EXPECT_EQ(getGPIO(10), 1);
    EXPECT_EQ(readFile(gpio("export")), "");
}

TEST_F(GpioTest, FifosInTheGpioTreeAreRefusedWithoutWaiting) {
    // A FIFO as the value file, then as the export file.
    root.addGpioPin(66, "1");
    root.addGpioPin(87, "0");
    cmtest::makeFifo(gpio("gpio66/value"));
    cmtest::makeFifo(gpio("gpio87/value"));
    int read = 0, written = 0;
    CaptureStdout();
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(gpio("gpio66/value"), [&] { read = getGPIO(66); }));
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(gpio("gpio87/value"), [&] { written = setGPIO(87, "out", 1); }));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(read, -1);
    EXPECT_EQ(written, 1);
    EXPECT_EQ(cmtest::countOf(out, "Cannot open value handle.\n"), 2) << out;

    root.addGpioPin(38, "1");
    cmtest::makeFifo(gpio("export"));
    CaptureStdout();
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(gpio("export"), [&] { read = getGPIO(38); }));
    out = GetCapturedStdout();
    EXPECT_EQ(read, -1);
    EXPECT_NE(out.find("Cannot export the GPIO pin.\n"), std::string::npos) << out;
}

}  // namespace
