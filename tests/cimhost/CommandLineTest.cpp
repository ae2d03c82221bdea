// cimhost's command line: help and version for every command, misuse exits 2
// with the usage of the command meant.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Programs.h"

namespace {

struct Line {
    std::vector<std::string> args;
    int exitCode;
    const char* out;  // expected in stdout
    const char* err;  // expected in stderr
};

TEST(CimhostCommandLine, HelpVersionAndMisuse) {
    const std::vector<Line> lines = {
        {{"--help"}, 0, "usage: cimhost inspect MODULE.so\n       cimhost watch PROVIDERS", ""},
        {{"-h"}, 0, "  watch      host providers, subscribe and print the indications delivered\n", ""},
        {{"--version"}, 0, "cimhost " QMS_VERSION " (test build: system paths under $QMS_TEST_ROOT)\n", ""},
        {{"inspect", "--help"}, 0, "usage: cimhost inspect MODULE.so\nLoads the module", ""},
        {{"watch", "--help"}, 0, "  --seconds S         stop after S seconds\n", ""},
        {{"watch", "providers", "--count", "3", "-h"}, 0, "usage: cimhost watch PROVIDERS", ""},
        {{}, 2, "", "cimhost: which command?\nusage: cimhost inspect"},
        {{"list"}, 2, "", "cimhost: unknown command \"list\"\n"},
        {{"inspect"}, 2, "", "cimhost inspect: which module?\nusage: cimhost inspect MODULE.so\n"},
        {{"watch"}, 2, "", "cimhost watch: which registration file?\nusage: cimhost watch PROVIDERS"},
        {{"watch", "p", "--count"}, 2, "", "cimhost watch: --count needs a value\n"},
        {{"watch", "p", "--count", "-1"}, 2, "", "cimhost watch: --count takes a whole number, not \"-1\"\n"},
        {{"watch", "p", "--verbose", "1"}, 2, "", "cimhost watch: unknown option --verbose\n"},
        {{"client", "--help"}, 0, "  unregister --handle HANDLE | --tag TAG", ""},
        {{"client", "unregister"}, 2, "", "usage: cimhost client [--url URL]"},
    };
    for (const Line& line : lines) {
        std::vector<std::string> argv{CIMHOST_BINARY};
        argv.insert(argv.end(), line.args.begin(), line.args.end());
        const qmstest::ProgramResult r = qmstest::run(argv);
        SCOPED_TRACE(line.args.empty() ? "(none)" : line.args[0] + (line.args.size() > 1 ? " ..." : ""));
        EXPECT_EQ(r.exitCode, line.exitCode) << r.err;
        EXPECT_NE(r.out.find(line.out), std::string::npos) << "stdout\n" << r.out;
        EXPECT_NE(r.err.find(line.err), std::string::npos) << "stderr\n" << r.err;
        // Only a failing command has anything to say on stderr.
        EXPECT_TRUE(line.exitCode != 0 || r.err.empty()) << r.err;
    }
}

}  // namespace
