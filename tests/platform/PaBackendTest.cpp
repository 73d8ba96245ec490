// The PortAudio backend on a machine without any sound device: the sound server's address is
// made to point nowhere, so that the test means the same whether or not one runs. (The suite
// under tests/rig runs the backend against a real server.)
#include "platform/PaBackend.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "platform/MMSystem.h"
#include "platform/PinnedLibraries.h"

using namespace MMSystem;

namespace {

[[maybe_unused]] const bool Pinned = Platform::PinSoundLibraries();

class PortAudioWithoutDevices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        if (const char* server = std::getenv("PULSE_SERVER"))
            FSavedServer = server;
        const std::string server = "unix:" + FDir.filePath("no-server").toStdString();
        setenv("PULSE_SERVER", server.c_str(), 1);
    }
    void TearDown() override {
        if (FSavedServer)
            setenv("PULSE_SERVER", FSavedServer->c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
    }

    // Builds the backend; empty when the machine has sound hardware (or JACK) all the same.
    std::unique_ptr<PaBackend::TInstalledPortAudio> Install() {
        auto installed = std::make_unique<PaBackend::TInstalledPortAudio>();
        if (waveInGetNumDevs() != 0 || waveOutGetNumDevs() != 0)
            return nullptr;
        return installed;
    }

    QTemporaryDir FDir;
    std::optional<std::string> FSavedServer;
};

TEST_F(PortAudioWithoutDevices, ServesZeroDevicesAMapperThatNamesTheLackAndNoOpen) {
    auto installed = Install();
    if (!installed)
        GTEST_SKIP() << "this machine has sound hardware";
    EXPECT_EQ((*installed)->InitError(), "");

    WAVEINCAPSW in{};
    ASSERT_EQ(waveInGetDevCapsW(WAVE_MAPPER, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(in.szPname), u"Sound mapper (no device)");
    EXPECT_EQ(waveInGetDevCapsW(0, &in, sizeof in), MMSYSERR_BADDEVICEID);
    WAVEOUTCAPSW out{};
    EXPECT_EQ(waveOutGetDevCapsW(0, &out, sizeof out), MMSYSERR_BADDEVICEID);

    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    HWAVEIN capture{};
    EXPECT_EQ(waveInOpen(&capture, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL),
              MMSYSERR_BADDEVICEID);
    HWAVEOUT playback{};
    EXPECT_EQ(waveOutOpen(&playback, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL),
              MMSYSERR_BADDEVICEID);
    EXPECT_EQ((*installed)->Statistics().Streams, 0u);
}

TEST_F(PortAudioWithoutDevices, HidesPortAudiosProbingNoiseAndGivesStderrBack) {
    const std::string log = FDir.filePath("stderr.txt").toStdString();
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int file = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(saved, 0);
    ASSERT_GE(file, 0);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
    {
        PaBackend::TInstalledPortAudio installed;
        std::fputs("still heard\n", stderr);
    }
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    std::ifstream in(log);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(text, "still heard\n");
}

} // namespace
