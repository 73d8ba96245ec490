#include "toolkit/SectionReader.h"

#include <fstream>
#include <string>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "toolkit/SysUtils.h"

namespace {

struct Web {
    int port = 8080;
    bool enabled = false;
    std::optional<double> gain;
    std::string mode = "off";
    std::string folder;
};

std::vector<settings::Key> table(Web& w) {
    return {settings::integer("Port", w.port, 1, 65535), settings::flag("Enabled", w.enabled),
            settings::real("Gain", w.gain, 0.0, 1.0),
            settings::choice<std::string>("Mode", w.mode, {{"off", "off"}, {"on", "on"}}),
            settings::path("Folder", w.folder)};
}

TEST(SectionReader, RepeatedSectionsMergeAndEachSlipIsNamedByFileLineAndValue) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("q.ini").toStdString();
    using namespace std::string_literals;
    std::ofstream(file) << "[Web]\nPort=81\nFolder=logs\n[Other]\nPort=1\n[web]\n"
                           "Enabled=1\nport=82\nPotr=3\nColour=red\nName=x\0y\n[Webb]\n"s;
    const IniFiles::TIniFile ini(file);
    Web w;
    settings::SectionReader reader(ini, "Web");
    reader.read(table(w));
    EXPECT_EQ(w.port, 81);
    EXPECT_TRUE(w.enabled) << "a key of the repeated section takes effect";
    EXPECT_EQ(w.folder, dir.filePath("logs").toStdString()) << "from the file's folder";
    EXPECT_TRUE(reader.refusals().empty());
    const std::vector<std::string> expected = {
        file + ":8: [Web] port=82 is given again: line 2's 81 counts",
        file + ":9: [Web] Potr is not a key of this section: did you mean Port?",
        file + ":10: [Web] Colour is not a key of this section, so it is ignored",
    };
    ASSERT_EQ(reader.notices().size(), 4u);
    EXPECT_EQ(reader.notices()[3],
              file + ":11: [Web] Name is not a key of this section, so it is ignored");
    EXPECT_EQ(std::vector<std::string>(reader.notices().begin(), reader.notices().begin() + 3),
              expected);
    EXPECT_EQ(settings::unknownSections(ini, {"Web", "Other"}),
              std::vector<std::string>{file + ":12: [Webb] is not a section Quorim reads: did you "
                                              "mean [Web]?"});
    EXPECT_EQ(settings::nearest("Callsing", {"Callsign", "IdFile"}), "Callsign");
    EXPECT_EQ(settings::shown(std::string("AB\0C", 4)), "AB\\x00C");
}

TEST(SectionReader, RefusedValuesAreCollectedOrTakeTheirDefault) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("q.ini").toStdString();
    std::ofstream(file) << "[Web]\nPort=70000\nEnabled=yes\nGain=1\nMode=auto\nFolder=\n";
    const IniFiles::TIniFile ini(file);
    Web w;
    settings::SectionReader strict(ini, "Web");
    strict.read(table(w));
    EXPECT_EQ(w.port, 8080);
    EXPECT_FALSE(w.gain);
    ASSERT_EQ(strict.refusals().size(), 4u);
    EXPECT_EQ(strict.refusals()[0], file + ":2: [Web] Port=70000 cannot be used: a whole number "
                                           "from 1 to 65535 is allowed");
    EXPECT_EQ(strict.refusals()[3],
              file + ":5: [Web] Mode=auto cannot be used: off or on is allowed");
    EXPECT_THROW(strict.throwIfRefused(), SysUtils::Exception);

    settings::SectionReader lenient(ini, "Web", settings::Ownership::Shared,
                                    settings::Refusal::UseDefault);
    lenient.read(table(w));
    EXPECT_TRUE(lenient.refusals().empty());
    EXPECT_EQ(lenient.notices()[0], file + ":2: [Web] Port=70000 cannot be used: a whole number "
                                           "from 1 to 65535 is allowed; the default 8080 is used");
}

} // namespace
