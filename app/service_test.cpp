#include "app/service.h"

#include "tests/support/testing.h"

namespace {

// Each command line's run style, its mode and the web port it leaves.
TEST(Service, CommandLinesChooseTheirStyleModeAndPort) {
    struct Case {
        const char* args;
        RunStyle style;
        bool commandLine;
        int port;
    };
    const Case cases[] = {
        {"-nofork", RUN_DIRECT, true, 8020},
        {"-debug -NoFork", RUN_DIRECT, false, 8020},  // no-fork wins, in any case
        {"-DEBUG", RUN_ATTACHED, true, 8020},         // attached, but not the option "debug"
        {"-xyz", RUN_ATTACHED, true, 8020},
        {"-x", RUN_ATTACHED, false, 8020},
        {"-config 2", RUN_ATTACHED, false, 2},
        {"-config 65535", RUN_ATTACHED, false, 8020},
        {"-config", RUN_ATTACHED, false, 8020},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words{"vantor"};
        std::istringstream in(c.args);
        for (std::string word; in >> word;) words.push_back(word);
        std::vector<const char*> argv;
        for (const std::string& word : words) argv.push_back(word.c_str());
        const int argc = static_cast<int>(argv.size());
        int port = 8020;
        EXPECT_EQ(run_style(argc, argv.data()), c.style) << c.args;
        EXPECT_EQ(command_line_mode(argc, argv.data(), port), c.commandLine) << c.args;
        EXPECT_EQ(port, c.port) << c.args;
    }
}

}  // namespace
