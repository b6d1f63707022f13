// The host keeps its own copy of the plug-in's long field names (it never
// links the plug-in); this test links both and holds the copy, and what
// `info` lists, to the original.
#include <gtest/gtest.h>

#include <sstream>

#include "PluginManager/tellivar/init.h"
#include "fields.h"
#include "run_program.h"

// The plug-in's code refers to the feed client's instance; nothing here runs it.
TellivarClient* pTellivarClient = nullptr;

namespace {

std::vector<std::string> pluginFieldNames() {
    std::vector<std::string> names;
    for (const FieldEntry& row : FieldTable) {
        if (row.longName != nullptr && *row.longName != '\0') names.push_back(row.longName);
    }
    return names;
}

TEST(FieldDictionary, ShouldListTheNamedFieldsOfThePluginInItsOrder) {
    EXPECT_EQ(longFieldNames(), pluginFieldNames());
    EXPECT_EQ(pluginFieldNames().size(), kFieldTableSize - 1) << "one row of the dictionary has no long name";
}

TEST(FieldDictionary, ShouldShowEveryNameOfThePluginInInfo) {
    const RunResult run = runProgram(HOST_PROGRAM, {"info"}, 30);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> expected = pluginFieldNames();
    const auto section = run.out.find("Quote fields:     " + std::to_string(expected.size()) + " names");
    ASSERT_NE(section, std::string::npos) << run.out;
    // The names follow the two heading lines, one blank between them, up to the panel.
    std::vector<std::string> listed;
    std::istringstream lines(run.out.substr(section, run.out.find("Settings panel:") - section));
    std::string line;
    for (int heading = 0; heading < 2; ++heading) std::getline(lines, line);
    for (std::string name; lines >> name;) listed.push_back(name);
    EXPECT_EQ(listed, expected);
}

}  // namespace
