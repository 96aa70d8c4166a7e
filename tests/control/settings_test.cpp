#include "control/settings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <thread>

#include "common/unique_fd.h"
#include "support/fifo_guard.h"
#include "support/test_support.h"

using cmtest::readFile;
using cmtest::writeFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

class ControlRecordTest : public testing::Test {
protected:
    std::string controlFile() const { return root.path("/home/Tarvisel/capture_control.ini"); }
    std::string eeprom() const { return root.path("/sys/bus/i2c/devices/1-0050/eeprom"); }

    cmtest::BoardRoot root;
};

TEST_F(ControlRecordTest, ImageIsFortyLittleEndianBytesAtTheFixedOffsets) {
    setting.loadImage(settingTag::Image{}.data(), 40);
    std::string file(40, '\0');
    file[0] = 1;                                  // alert
    file[1] = 0;                                  // exit
    file[2] = 'r';                                // reserved, carried through
    file[7] = 'R';
    file[8] = 0x01; file[9] = 0x02;               // user video 0x0201
    file[16] = 0x03; file[23] = static_cast<char>(0x80);  // camera set, sign bit
    file[24] = 71;                                // stream stamp 71
    file[32] = 'x'; file[39] = 'y';               // reserved tail
    writeFile(controlFile(), file);
    setting.readSettings();
    EXPECT_EQ(setting.alertFlag(), 1);
    EXPECT_FALSE(setting.exitFlag());
    EXPECT_EQ(setting.userVideoCommand(), 0x0201);
    EXPECT_EQ(setting.camSet(), static_cast<long long>(0x8000000000000003ULL));
    EXPECT_EQ(setting.streamVideoStamp(), 71);
    settingTag::Image img = setting.image();
    EXPECT_EQ(std::string(img.begin(), img.end()), file);
}

TEST_F(ControlRecordTest, MissingFileLeavesTheRecordAsItWas) {
    setting.loadImage(reinterpret_cast<const std::uint8_t*>("\x01"), 1);
    CaptureStdout();
    setting.readSettings();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(setting.alertFlag(), 1);
}

TEST_F(ControlRecordTest, ShortFileReplacesOnlyTheBytesItHas) {
    std::string before(40, '\x11');
    setting.loadImage(reinterpret_cast<const std::uint8_t*>(before.data()), 40);
    writeFile(controlFile(), std::string(10, '\0'));
    setting.readSettings();
    settingTag::Image img = setting.image();
    EXPECT_EQ(std::string(img.begin(), img.begin() + 10), std::string(10, '\0'));
    EXPECT_EQ(std::string(img.begin() + 10, img.end()), std::string(30, '\x11'));
}

TEST_F(ControlRecordTest, OversizedOrGarbageFileFillsTheRecordFromItsFirstFortyBytes) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 37 + 11) & 0xff);
    writeFile(controlFile(), garbage);
    setting.readSettings();
    settingTag::Image img = setting.image();
    EXPECT_EQ(std::string(img.begin(), img.end()), garbage.substr(0, 40));
}

TEST_F(ControlRecordTest, UnopenableFileIsReportedOnEveryAttemptAndKeepsTheRecord) {
    cmtest::makeDirs(controlFile());  // a directory cannot be opened for reading and writing
    setting.loadImage(reinterpret_cast<const std::uint8_t*>("\x05"), 1);
    CaptureStdout();
    setting.readSettings();
    setting.readSettings();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "could not read file " + controlFile() + "!"), 2);
    EXPECT_EQ(setting.alertFlag(), 5);
}

TEST_F(ControlRecordTest, WriteSettingsCreatesTheMissingHomeDirectory) {
    cmtest::removeTree(root.path("/home/Tarvisel"));
    CaptureStdout();
    setting.panic(1);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Save dir not found.. creating " + root.path("/home/Tarvisel")), std::string::npos);
    EXPECT_EQ(readFile(controlFile()), bytes({1}) + std::string(39, '\0'));
}

TEST_F(ControlRecordTest, UncreatableFileIsReported) {
    cmtest::makeDirs(controlFile());
    CaptureStdout();
    setting.exit(1);
    EXPECT_NE(GetCapturedStdout().find("could not create file " + controlFile() + "!"), std::string::npos);
    EXPECT_TRUE(setting.exitFlag());  // the change stays in memory
}

// A writer killed before its rename leaves its temporary; the next start
// removes it, but never one that a writer (the companion, say) still holds.
TEST_F(ControlRecordTest, LeftoverTemporariesGoAtStartButNotOneAWriterHolds) {
    writeFile(controlFile() + ".aB3xYz", "half a rec");
    writeFile(controlFile() + ".held01", std::string(40, '\0'));
    writeFile(controlFile() + ".saved", "not a temporary: kept");
    writeFile(controlFile() + ".1", "nor this");
    cm::UniqueFd writer(::open((controlFile() + ".held01").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(writer.get(), LOCK_EX), 0);
    CaptureStdout();
    EXPECT_EQ(removeLeftoverControlRecordTemporaries(), 1);
    EXPECT_NE(GetCapturedStdout().find("removed 1 unfinished copies of " + controlFile()), std::string::npos);
    EXPECT_FALSE(cmtest::fileExists(controlFile() + ".aB3xYz"));
    for (const char* kept : {".held01", ".saved", ".1"}) EXPECT_TRUE(cmtest::fileExists(controlFile() + kept));
    // The record itself is written durably through a temporary of its own.
    setting.panic(1);
    EXPECT_EQ(readFile(controlFile()), bytes({1}) + std::string(39, '\0'));
    EXPECT_EQ(cmtest::listDir(root.path("/home/Tarvisel")).size(), 6u);  // log, pos, the record, the three kept
}

TEST_F(ControlRecordTest, CommandSettersWriteOnlyWhenTheValueChanges) {
    setting.record_user_video(42);
    ASSERT_TRUE(cmtest::fileExists(controlFile()));
    std::remove(controlFile().c_str());
    setting.record_user_video(42);
    EXPECT_FALSE(cmtest::fileExists(controlFile()));
    setting.record_user_video(43);
    setting.set_cams(2);
    setting.stream_video(-71);
    settingTag reader;
    reader.readSettings();
    EXPECT_EQ(reader.userVideoCommand(), 43);
    EXPECT_EQ(reader.camSet(), 2);
    EXPECT_EQ(reader.streamVideoStamp(), -71);
    EXPECT_EQ(readFile(controlFile()).size(), 40u);
}

TEST_F(ControlRecordTest, FlagSettersWriteEveryTimeAndStoreTheLowByte) {
    setting.panic(1);
    std::remove(controlFile().c_str());
    setting.panic(1);
    EXPECT_TRUE(cmtest::fileExists(controlFile()));
    setting.exit(0x1ff);
    EXPECT_EQ(readFile(controlFile()).substr(0, 2), bytes({1, 0xff}));
}

TEST_F(ControlRecordTest, ExitRaisedInMemorySurvivesReloadsOfAFileThatHoldsZero) {
    writeFile(controlFile(), std::string(40, '\0'));
    setting.readSettings();
    EXPECT_FALSE(setting.exitFlag());
    setting.raiseExitInMemory();
    setting.readSettings();
    EXPECT_TRUE(setting.exitFlag());
    setting.reset();
    EXPECT_TRUE(setting.exitFlag());
    EXPECT_EQ(readFile(controlFile()), std::string(40, '\0'));  // never written
}

TEST_F(ControlRecordTest, ExitFromTheFileIsSeenWithoutTheLatch) {
    writeFile(controlFile(), bytes({0, 1}) + std::string(38, '\0'));
    setting.readSettings();
    EXPECT_TRUE(setting.exitFlag());
    writeFile(controlFile(), std::string(40, '\0'));
    setting.readSettings();
    EXPECT_FALSE(setting.exitFlag());
}

TEST_F(ControlRecordTest, ExitFlagAloneIsTakenFromTheFileAndStaysUp) {
    // In memory: alert 1, user video 5. The file: alert 0, user video 9.
    std::string memory = bytes({1, 0}) + std::string(6, '\0') + bytes({5}) + std::string(31, '\0');
    setting.loadImage(reinterpret_cast<const std::uint8_t*>(memory.data()), memory.size());
    std::string file = bytes({0, 0}) + std::string(6, '\0') + bytes({9}) + std::string(31, '\0');
    writeFile(controlFile(), file);
    EXPECT_FALSE(setting.refreshExitFlagFromFile());
    EXPECT_FALSE(setting.exitFlag());

    file[1] = 1;
    writeFile(controlFile(), file);
    EXPECT_TRUE(setting.refreshExitFlagFromFile());
    EXPECT_TRUE(setting.exitFlag());
    EXPECT_EQ(setting.alertFlag(), 1);  // nothing else of the record was loaded
    EXPECT_EQ(setting.userVideoCommand(), 5);

    // Once up it stays up, also through a whole re-load of a file holding 0.
    file[1] = 0;
    writeFile(controlFile(), file);
    EXPECT_FALSE(setting.refreshExitFlagFromFile());
    setting.readSettings();
    EXPECT_TRUE(setting.exitFlag());
    EXPECT_EQ(readFile(controlFile()), file);  // never written
}

TEST_F(ControlRecordTest, ExitFlagRefreshWithoutTheByteChangesNothing) {
    EXPECT_FALSE(setting.refreshExitFlagFromFile());  // no file
    writeFile(controlFile(), bytes({1}));               // the alert byte only
    EXPECT_FALSE(setting.refreshExitFlagFromFile());
    EXPECT_FALSE(setting.exitFlag());
}

TEST_F(ControlRecordTest, ConcurrentReloadsAndReadersSeeOnlyWholeValues) {
    // Two reloading threads and a reader: every value read is one that some
    // file held, and a latched exit never drops.
    writeFile(controlFile(), std::string(40, '\0'));
    std::atomic<bool> stop{false};
    auto reloader = [&] {
        while (!stop) setting.readSettings();
    };
    std::thread a(reloader), b(reloader);
    setting.raiseExitInMemory();
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(setting.exitFlag());
    stop = true;
    a.join();
    b.join();
}

TEST_F(ControlRecordTest, SerialIsTheTwelveCharactersFromByteSixteen) {
    std::string data(16, '\xaa');
    data += "ABCDEFGHIJKLMNOP";
    writeFile(eeprom(), data);
    CaptureStdout();
    EXPECT_EQ(setting.init(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_STREQ(device_serial, "ABCDEFGHIJKL");
    EXPECT_NE(out.find("read ret = 32\n\n"), std::string::npos);
    EXPECT_NE(out.find("Device Serial: ABCDEFGHIJKL\n"), std::string::npos);
}

TEST_F(ControlRecordTest, SerialStopsAtZeroAndCountsUndeliveredBytesAsZero) {
    writeFile(eeprom(), std::string(16, '\0') + "1813BB");
    CaptureStdout();
    EXPECT_EQ(setting.init(), 0);
    GetCapturedStdout();
    EXPECT_STREQ(device_serial, "1813BB");
    writeFile(eeprom(), std::string(16, '\0') + "AB" + std::string(1, '\0') + "CD");
    CaptureStdout();
    setting.init();
    GetCapturedStdout();
    EXPECT_STREQ(device_serial, "AB");
}

TEST_F(ControlRecordTest, MissingEepromGivesNoEepromAndTheErrorLine) {
    CaptureStdout();
    EXPECT_EQ(setting.init(), -1);
    EXPECT_NE(GetCapturedStdout().find("ERROR: Can not open " + eeprom() + "\n"), std::string::npos);
    EXPECT_STREQ(device_serial, "NO_EEPROM");
}

TEST_F(ControlRecordTest, EmptyEepromLeavesUnknownWhileAnEmptySerialFieldGivesNoEeprom) {
    writeFile(eeprom(), "");
    CaptureStdout();
    EXPECT_EQ(setting.init(), 0);
    EXPECT_NE(GetCapturedStdout().find("read ret = 0\n"), std::string::npos);
    EXPECT_STREQ(device_serial, "UNKNOWN");
    writeFile(eeprom(), std::string(64, '\0'));
    CaptureStdout();
    EXPECT_EQ(setting.init(), -1);
    GetCapturedStdout();
    EXPECT_STREQ(device_serial, "NO_EEPROM");
    char empty[60] = "";
    writeFile(eeprom(), "");
    CaptureStdout();
    EXPECT_EQ(readBBBSerial(empty), 0);
    GetCapturedStdout();
}

TEST_F(ControlRecordTest, SerialKeepsLettersDigitsDashAndUnderscoreAndEndsAtAnyOtherByte) {
    // The serial names the remote folder and is a query value of every
    // notification URL: nothing in it may reach either as syntax.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"BBB-K_12zZ09", "BBB-K_12zZ09"},   // kept whole
        {"a&fpath=/x#", "a"},               // no second query argument
        {"AB\nrm -rf", "AB"},               // control byte
        {"AB CD", "AB"},                    // blank
        {"/etc/passwd", "NO_EEPROM"},       // no folder path
        {"..", "NO_EEPROM"},
        {std::string(12, '\xff'), "NO_EEPROM"},  // erased EEPROM
    };
    for (const auto& [field, serial] : cases) {
        writeFile(eeprom(), std::string(16, '\0') + field);
        CaptureStdout();
        setting.init();
        std::string out = GetCapturedStdout();
        EXPECT_EQ(std::string(device_serial), serial) << field;
        EXPECT_EQ(out.find("serial cut there") != std::string::npos, serial != field) << field << out;
    }
}

TEST_F(ControlRecordTest, FifosAtTheRecordOrEepromPathAreRefusedWithoutWaiting) {
    cmtest::makeFifo(controlFile());
    setting.loadImage(reinterpret_cast<const std::uint8_t*>("\x05"), 1);
    bool up = true;
    CaptureStdout();
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(controlFile(), [] { setting.readSettings(); }));
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(controlFile(), [&] { up = setting.refreshExitFlagFromFile(); }));
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(controlFile(), [] { setting.exit(0); }));
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("could not read file " + controlFile() + "!"), std::string::npos) << out;
    EXPECT_NE(out.find("could not create file " + controlFile() + "!"), std::string::npos) << out;
    EXPECT_FALSE(up);
    EXPECT_EQ(setting.alertFlag(), 5);

    cmtest::makeFifo(eeprom());
    int result = 0;
    CaptureStdout();
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(eeprom(), [&] { result = setting.init(); }));
    EXPECT_NE(GetCapturedStdout().find("ERROR: Can not open " + eeprom() + "\n"), std::string::npos);
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(device_serial, "NO_EEPROM");
}

TEST_F(ControlRecordTest, ExitRaisedWhileTheRecordIsReloadedIsNeverLost) {
    // One thread loads a record whose exit byte is 0 over and over, as the
    // video creation thread and the streaming monitor do; an exit raised in
    // memory meanwhile must be seen at once and after every later load.
    const settingTag::Image zeros{};
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> loads{0};
    std::thread reloader([&] {
        while (!stop.load()) {
            setting.loadImage(zeros.data(), zeros.size());
            loads.fetch_add(1);
        }
    });
    int lost = 0;
    for (int trial = 0; trial < 200000 && lost == 0; ++trial) {
        settingTag::clearExitLatch();
        setting.raiseExitInMemory();
        const unsigned long seen = loads.load();
        while (loads.load() < seen + 2 && lost == 0)
            if (!setting.exitFlag()) ++lost;
        if (!setting.exitFlag()) ++lost;
    }
    stop = true;
    reloader.join();
    EXPECT_EQ(lost, 0);
}

}  // namespace
