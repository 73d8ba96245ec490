// The repeater's window when the sound server fails under it (run inside tools/sound-rig): a
// daemon killed mid-run is a device failure the user is told of, with the window back in the
// inactive state, and a Start once the server is back works again.
#include <csignal>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/uMain.h"
#include "platform/PaBackend.h"
#include "platform/PinnedLibraries.h"
#include "tests/rig/RigSupport.h"
#include "toolkit/Forms.h"

using namespace RigSupport;

namespace {

[[maybe_unused]] const bool Pinned = Platform::PinSoundLibraries();

int DaemonPid() {
    std::ifstream in(RigPath("pulse.pid"));
    int pid = 0;
    in >> pid;
    return pid;
}

TEST(SoundServerFaults, AKilledServerStopsTheRepeaterWithItsWordsAndANewStartWorksOnceItIsBack) {
    if (const std::string reason = SkipReason(); !reason.empty())
        GTEST_SKIP() << reason;
    QTemporaryDir dir;
    const std::string ini = dir.filePath("quorim.ini").toStdString();
    std::ofstream(ini) << "[Main]\nSoundMode=5\n[Options]\nRecDeviceName=rx_cap\n"
                          "PlayDeviceName=tx_play\n";
    std::vector<std::string> told;
    Forms::TScopedUserNotices notices({
        .OnException = [&](const std::string& M) { told.push_back(M); },
        .OnMessageBox = [&](const std::string& T, const std::string& M) { told.push_back(T + M); },
        .OnBeep = [] {},
    });
    PaBackend::TInstalledPortAudio portAudio;
    uMain::TfMainForm form(ini);
    ASSERT_TRUE(form.btnStart->isEnabled());
    form.btnStartClick();
    PumpFor(500);
    ASSERT_TRUE(told.empty()) << told.front();

    ASSERT_EQ(::kill(DaemonPid(), SIGKILL), 0);
    EXPECT_TRUE(PumpUntil([&] { return form.StateText() == "НЕАКТИВНО"; }, 2000));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].rfind("the capture device failed: PortAudio: ", 0), 0u) << told[0];
    EXPECT_TRUE(form.btnStart->isEnabled());
    EXPECT_FALSE(form.btnStop->isEnabled());
    EXPECT_FALSE(form.Recorder->Active());

    ASSERT_EQ(RigSupport::Run(RigPath("restart-server"), {}, 15000), 0);
    form.btnStartClick();
    PumpFor(1000);
    // Listening again (the fresh server's monitor is digital silence, which the squelch may
    // take for a carrier: waiting or recording, either is a repeater at work).
    EXPECT_EQ(told.size(), 1u);
    EXPECT_NE(form.StateText(), "НЕАКТИВНО");
    EXPECT_TRUE(form.Recorder->Active());
    form.btnStopClick();
    EXPECT_GT(portAudio->Statistics().LostStreams, 0u);
}

} // namespace
