// What the host says about an agent it cannot reach, over the states an
// agent's files can be in under a test root.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AgentCheck.h"
#include "common/Programs.h"

namespace cimhost {
namespace {

enum Socket { kNone, kDead, kListening, kForbidden };

struct AgentState {
    const char* name;
    bool installed;
    bool pidFile;
    Socket sockets;
    std::vector<const char*> findings;  // with <root> for the test root; none: reachable
};

class AgentCheck : public testing::TestWithParam<AgentState> {
protected:
    void SetUp() override { setenv("QMS_TEST_ROOT", root_.c_str(), 1); }
    void TearDown() override {
        for (int fd : fds_) close(fd);
    }
    void file(const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        std::ofstream(root_ + path) << "1\n";
    }
    void socketAt(const std::string& path, Socket kind) {
        std::filesystem::create_directories(root_ + "/dev");
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, (root_ + path).c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (kind == kDead) {
            close(fd);  // the file stays, nobody listens: a crashed agent
            return;
        }
        ASSERT_EQ(listen(fd, 4), 0);
        fds_.push_back(fd);
        if (kind == kForbidden) chmod((root_ + path).c_str(), 0);
    }
    qmstest::ScratchDir scratch_{"agentcheck"};
    const std::string root_ = scratch_.path();
    std::vector<int> fds_;
};

// Root may connect to any socket: the diagnosis is then made by a child that
// has become another user.
std::string diagnoseAs(bool otherUser) {
    if (!otherUser) return diagnoseAgent();
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(1);
        const std::string text = diagnoseAgent();
        const ssize_t ignored = write(fds[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return text;
}

TEST_P(AgentCheck, SaysWhatIsWrongAndWhatToDo) {
    const AgentState& state = GetParam();
    const bool otherUser = state.sockets == kForbidden && geteuid() == 0;
    chmod(root_.c_str(), 0755);
    if (state.installed) file("/usr/sbin/rqbd");
    if (state.pidFile) file("/var/run/rqbd.pid");
    if (state.sockets != kNone)
        for (const char* path : {"/dev/rqbds", "/dev/rqbdsj", "/dev/rqbdaj"}) socketAt(path, state.sockets);

    const std::string diagnosis = diagnoseAs(otherUser);
    std::vector<std::string> wants(state.findings.begin(), state.findings.end());
    if (!wants.empty())
        wants.push_back(
            "Is rqbd running? This is a test build: the agent is looked for under <root> (QMS_TEST_ROOT); "
            "start "
            "the simulator there with `rqbd-sim serve --root <root>`.\n");
    EXPECT_EQ(diagnosis.empty(), wants.empty()) << diagnosis;
    for (std::string want : wants) {
        for (size_t at; (at = want.find("<root>")) != std::string::npos;) want.replace(at, 6, root_);
        EXPECT_NE(diagnosis.find(want), std::string::npos) << "missing: " << want << "\nin:\n" << diagnosis;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(States, AgentCheck, testing::Values(
    AgentState{"not_installed", false, false, kNone,
               {"the agent is not installed: neither <root>/usr/sbin/rqbd nor <root>/usr/sbin/qmas exists.\n"}},
    AgentState{"crashed", true, true, kDead,
               {"the agent <root>/usr/sbin/rqbd cannot be reached:\n",
                "  <root>/dev/rqbds: Connection refused (nobody listens: the agent stopped without cleaning up, or "
                "crashed)\n"}},
    AgentState{"not_permitted", true, true, kForbidden,
               {"  <root>/dev/rqbds: Permission denied (user ",
                " may not connect: run the host as a user the agent lets in, usually root)\n"}},
    AgentState{"running", true, true, kListening, {}}),
    [](const testing::TestParamInfo<AgentState>& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace cimhost
