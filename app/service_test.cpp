#include "app/service.h"

#include "tests/support/testing.h"

namespace {

// Each command line's run style, its mode and the web port it leaves.
TEST(Service, CommandLinesChooseTheirStyleModeAndPort) {
    const std::tuple<std::vector<const char*>, RunStyle, bool, int> cases[] = {
        {{"-nofork"}, RUN_DIRECT, true, 8020},
        {{"-debug", "-NoFork"}, RUN_DIRECT, false, 8020},  // no-fork wins, in any case
        {{"-DEBUG"}, RUN_ATTACHED, true, 8020},            // attached, but not the option "debug"
        {{"-xyz"}, RUN_ATTACHED, true, 8020},
        {{"-x"}, RUN_ATTACHED, false, 8020},
        {{"-f"}, RUN_ATTACHED, true, 8020},
        {{"-config", "2"}, RUN_ATTACHED, false, 2},
        {{"-config", "65535"}, RUN_ATTACHED, false, 8020},
        {{"-config"}, RUN_ATTACHED, false, 8020},
        {{"alice", "pw"}, RUN_COMMAND, true, 8020},
        {{}, RUN_DAEMON, false, 8020},
    };
    for (auto [args, style, commandLine, port] : cases) {
        args.insert(args.begin(), "vantor");
        int chosen = 8020;
        EXPECT_EQ(run_style(args.size(), args.data()), style) << args.back();
        EXPECT_EQ(command_line_mode(args.size(), args.data(), chosen), commandLine) << args.back();
        EXPECT_EQ(chosen, port) << args.back();
    }
}

}  // namespace
