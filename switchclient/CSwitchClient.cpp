#include "switchclient/CSwitchClient.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "support/CDebug.h"
#include "support/SystemPaths.h"
#include "support/Waits.h"
#include "switchclient/JsonChannel.h"

namespace {

const char kServiceRqbd[] = "/usr/sbin/rqbd";
const char kServiceQmas[] = "/usr/sbin/qmas";
const char kRequestMethod[] = "JsonRequest";
const char kEventThreadName[] = "Thread_EventMain";

constexpr unsigned kReadinessProbes = 600;
constexpr uint32_t kProbeIntervalMs = 1000;
// Period of the event thread's wait for a restarted daemon, in seconds, and
// the longest it waits by default.
constexpr unsigned kCheckPeriodSec = 2;
constexpr unsigned kDefaultMaxWaitSec = 1200;
// Waits of the disable sequence.
constexpr uint32_t kWakeSettleMs = 30;
constexpr uint32_t kStopPollMs = 500;
constexpr unsigned kStopPolls = 10;

constexpr int kEventThreadPriority = 63;
constexpr unsigned kEventThreadStackSize = 0x100000;

// JSON type code of a number, as SipJson::GetCmdDataType reports it.
constexpr int kJsonNumberType = 6;

bool pathExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// "/var/run/<last component of the daemon binary>.pid".
std::string pidFileFor(const std::string& servicePath) {
    const size_t slash = servicePath.rfind('/');
    const std::string name = slash == std::string::npos ? servicePath : servicePath.substr(slash + 1);
    return "/var/run/" + name + ".pid";
}

unsigned low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

void closeFd(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

CSwitchClient::CSwitchClient() = default;

CSwitchClient::~CSwitchClient() {
    if (m_EventsEnabled.load()) {
        {
            std::lock_guard<std::mutex> lock(m_EventsMutex);
            DisableSequence();
        }
        Debug.Print(
            1,
            "\nCSwitchClient::~CSwitchClient: ## ERROR! Events still enabled (by client \"%s\") on class "
            "destruction - fix this!!\n",
            ApplicationName().c_str());
    }
    if (m_FdRequestChannel.load() >= 0) {
        Debug.Print(1,
                    "\nCSwitchClient::~CSwitchClient: ## ERROR! Still attached (by client \"%s\") on class "
                    "destruction - fix this!!\n",
                    ApplicationName().c_str());
        CloseRequestChannel();
    }
    // The handler map and its lock go with the members; the thread must be
    // gone before they are.
    m_EventThread.Kill();
}

std::string CSwitchClient::ApplicationName() const {
    std::lock_guard<std::mutex> lock(m_StringsMutex);
    return m_ApplicationName;
}

std::string CSwitchClient::GetServicePath() const {
    std::lock_guard<std::mutex> lock(m_StringsMutex);
    return m_ServicePath;
}

unsigned CSwitchClient::GetAttachCount() const {
    std::lock_guard<std::mutex> lock(m_RequestMutex);
    return m_AttachCount;
}

void CSwitchClient::SetLastError(unsigned code, const char* text) {
    m_LastError.store(code);
    m_LastErrorText.store(text);
}

unsigned CSwitchClient::GetLastError() const { return m_LastError.load(); }

const char* CSwitchClient::GetLastErrorMsg(std::string& out) const {
    out = m_LastErrorText.load();
    return out.c_str();
}

bool CSwitchClient::SetApplicationName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    Debug.Print(4, "\nCSwitchClient::SetApplicationName: Set client application name to \"%s\"\n", name);
    std::lock_guard<std::mutex> request(m_RequestMutex);
    std::lock_guard<std::mutex> strings(m_StringsMutex);
    m_ApplicationName = name;
    return true;
}

void CSwitchClient::SetLogonUser(const char*, const char*, const char*) {}

bool CSwitchClient::SetRequestMethod(const char* method) {
    return method != nullptr && strcasecmp(method, kRequestMethod) == 0;
}

bool CSwitchClient::GetCurrentRequestMethod(std::string& out) {
    out = kRequestMethod;
    return true;
}

bool CSwitchClient::IsServiceInstalled(const char* path) {
    Debug.Print(5, "\nCSwitchClient::IsServiceInstalled: Check for service \"%s\" being installed...\n",
                path);
    if (pathExists(provider::systemPath(path))) {
        Debug.Print(5, "\nCSwitchClient::IsServiceInstalled:   service \"%s\" is installed\n", path);
        return true;
    }
    Debug.Print(1, "\nCSwitchClient::IsServiceInstalled:   service \"%s\" is NOT installed\n", path);
    return false;
}

bool CSwitchClient::TryOpenRqbdSocket(const char* path) {
    Debug.Print(3, "\nCSwitchClient::TryOpenRqbdSocket: try to open socket \"%s\"...\n", path);
    const std::string real = provider::systemPath(path);
    if (!pathExists(real)) {
        Debug.Print(3, "CSwitchClient::TryOpenRqbdSocket: could not open socket\n");
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        if (err == EACCES) {
            Debug.Print(
                1, "TryOpenRqbdSocket: permission denied when trying to create socket on %s - not root?\n",
                path);
        } else {
            Debug.Print(1, "TryOpenRqbdSocket: create socket on %s failed (thrId=0x%08X): %s\n", path,
                        CThread::CurrentHandle(), strerror(err));
        }
        errno = err;
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int rc = -1;
    if (real.size() < sizeof address.sun_path) {
        memcpy(address.sun_path, real.data(), real.size());
        rc = connect(fd, reinterpret_cast<sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + real.size()));
    } else {
        errno = ENAMETOOLONG;
    }
    const int err = errno;
    if (rc != 0) {
        Debug.Print(1, "TryOpenRqbdSocket: connect to socket on %s failed (thrId=0x%08X): %s\n", path,
                    CThread::CurrentHandle(), strerror(err));
    }
    close(fd);
    errno = err;
    return rc == 0;
}

bool CSwitchClient::CheckForInstalledService() {
    std::string found = GetServicePath();
    if (found.empty()) {
        if (IsServiceInstalled(kServiceRqbd)) {
            found = kServiceRqbd;
        } else if (IsServiceInstalled(kServiceQmas)) {
            found = kServiceQmas;
        }
        if (!found.empty()) {
            std::lock_guard<std::mutex> lock(m_StringsMutex);
            m_ServicePath = found;
        }
    }
    if (found.empty()) {
        Debug.Print(
            1, "\nCSwitchClient::CheckForInstalledService: ## ERROR! No installed rqbd service detected!\n");
        return false;
    }
    Debug.Print(4, "\nCSwitchClient::CheckForInstalledService: Name of installed rqbd service: \"%s\"\n",
                found.c_str());
    return true;
}

std::string CSwitchClient::PidFilePath() const { return pidFileFor(GetServicePath()); }

bool CSwitchClient::IsServiceRunning() {
    const std::string service = GetServicePath();
    return !service.empty() && pathExists(provider::systemPath(pidFileFor(service).c_str()));
}

bool CSwitchClient::WaitForServiceReady() {
    const std::string service = GetServicePath();
    const std::string pidFile = provider::systemPath(PidFilePath().c_str());
    for (unsigned probe = 1;; ++probe) {
        if (TryOpenRqbdSocket(kRqbdProbeSocket)) {
            Debug.Print(3, "\nCSwitchClient::IsServiceReady: -> socket \"%s\" is available\n",
                        kRqbdProbeSocket);
            return true;
        }
        const int err = errno;
        if (err == EACCES) {
            Debug.Print(3, "\nCSwitchClient::IsServiceReady: -> permission denied - not root?\n");
            SetLastError(kErrPermission, "Permission denied on rqbd connect");
            return false;
        }
        provider::sleepMs(kProbeIntervalMs);
        Debug.Print(3, "\nCSwitchClient::IsServiceReady: check for service \"%s\" is running...\n",
                    service.c_str());
        if (!pathExists(pidFile)) {
            SetLastError(kErrNone, "NO ERROR");
            Debug.Print(3, "\nCSwitchClient::IsServiceReady: -> service \"%s\" is NOT running - abort!\n",
                        service.c_str());
            return false;
        }
        if (probe == kReadinessProbes) {
            SetLastError(kErrTimeout, "Timeout during connect attempt to rqbd");
            Debug.Print(
                3, "\nCSwitchClient::IsServiceReady: -> socket \"%s\" is not available: %s --> TIMEOUT\n",
                kRqbdProbeSocket, strerror(err));
            return false;
        }
        Debug.Print(3,
                    "\nCSwitchClient::IsServiceReady: -> socket \"%s\" is not available: %s --> retry...\n",
                    kRqbdProbeSocket, strerror(err));
    }
}

bool CSwitchClient::Attach(const char* server, bool, unsigned) {
    Debug.Print(4, "\nCSwitchClient::Attach: Attach to TOLM...");
    if (server != nullptr && *server != '\0') {
        Debug.Print(1,
                    "\nCSwitchClient::Attach: ## ERROR! Cannot connect to remote server on this platform!");
        SetLastError(kErrRemote, "Remote connection not supported");
        return false;
    }
    bool attached = false;
    {
        std::lock_guard<std::mutex> lock(m_RequestMutex);
        if (m_AttachCount != 0) {
            ++m_AttachCount;
            Debug.Print(4,
                        "\nCSwitchClient::Attach: Already attached - increment attach reference count to %d",
                        m_AttachCount);
            attached = true;
        } else {
            Debug.Print(4, "\nCSwitchClient::Attach: Checking for service installed and running...");
            if (!CheckForInstalledService()) {
                SetLastError(kErrNoService, "No rqbd service installed");
                Debug.Print(3, "\nCSwitchClient::Attach:   no service installed - cannot attach!");
            } else {
                Debug.Print(
                    4, "\nCSwitchClient::Attach:   service %s is installed; check/wait for being ready...",
                    GetServicePath().c_str());
                Debug.Print(3,
                            "\nCSwitchClient::IsServiceReady: Check for socket \"%s\" being available...\n",
                            kRqbdProbeSocket);
                if (!WaitForServiceReady()) {
                    Debug.Print(3,
                                "\nCSwitchClient::Attach:   Service installed and running, rqbd could not be "
                                "connected - cannot attach!");
                } else {
                    const int fd = JsonAttach(provider::systemPath(kRqbdRequestSocket).c_str(),
                                              ApplicationName().c_str());
                    if (fd < 0) {
                        SetLastError(kErrNoJson, "JSON interface not supported by rqbd");
                        Debug.Print(3,
                                    "\nCSwitchClient::Attach:   Service installed and running, but no JSON "
                                    "interface available - cannot attach!");
                    } else {
                        m_FdRequestChannel.store(fd);
                        m_RequestChannelBroken = false;
                        m_AttachCount = 1;
                        // What an earlier attach left must not outlive it:
                        // a non-zero last error reads as a lost link.
                        SetLastError(kErrNone, "NO ERROR");
                        Debug.Print(4, "\nCSwitchClient::Attach: Client successfully attached");
                        attached = true;
                    }
                }
            }
        }
    }
    Debug.Print(4, "\nCSwitchClient::Attach: -> attached=%d", attached ? 1 : 0);
    return attached;
}

bool CSwitchClient::ReattachRequestChannel() {
    std::lock_guard<std::mutex> lock(m_RequestMutex);
    return ReattachLocked();
}

bool CSwitchClient::ReattachLocked() {
    if (m_AttachCount == 0) {
        return false;
    }
    CloseRequestChannel();
    // A quiet probe first: while the agent is away every request passes
    // here, and the attach's twenty connects would cost a second and a
    // screenful of unconditional log lines each time.
    if (!TryOpenRqbdSocket(kRqbdProbeSocket)) {
        m_RequestChannelBroken = true;
        return false;
    }
    const int fd = JsonAttach(provider::systemPath(kRqbdRequestSocket).c_str(), ApplicationName().c_str());
    if (fd < 0) {
        return false;
    }
    m_FdRequestChannel.store(fd);
    m_RequestChannelBroken = false;
    return true;
}

void CSwitchClient::Detach() {
    std::lock_guard<std::mutex> lock(m_RequestMutex);
    if (m_AttachCount == 0) {
        return;
    }
    Debug.Print(4, "\nCSwitchClient::Detach: reference count = %d, decrement count", m_AttachCount);
    if (--m_AttachCount > 0) {
        return;
    }
    if (m_EventsEnabled.load()) {
        // Under the request mutex only: the owner switches events and
        // detaches from one thread, so nothing enables them meanwhile.
        DisableSequence();
    }
    Debug.Print(4, "\nCSwitchClient::Detach: Last client detaches - finally detach from server");
    CloseRequestChannel();
    Debug.Print(4, "\nCSwitchClient::Detach: Detached");
}

namespace {

// The request channel's state before a request, in one poll: whether bytes
// wait on it although no request is out (a reply nobody asked for, after
// which every reply would answer the request before it), and whether it
// takes a frame now (the send's readiness poll).
struct ChannelState {
    bool strayInput = false;
    bool writable = false;
};
ChannelState channelState(int fd) {
    ChannelState state;
    if (fd < 0) return state;
    pollfd p{fd, POLLIN | POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) return state;
    state.strayInput = (p.revents & POLLIN) != 0;
    state.writable = (p.revents & POLLOUT) != 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    return state;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void CSwitchClient::CloseRequestChannel() {
    std::lock_guard<std::mutex> lock(m_FdMutex);
    JsonDetach(m_FdRequestChannel.exchange(-1), kRqbdRequestSocket);
}

bool CSwitchClient::AbortStalledRequest(unsigned graceMs) {
    std::lock_guard<std::mutex> lock(m_FdMutex);
    const int64_t since = m_InflightSinceMs.load();
    const int64_t waited = nowMs() - since;
    const int fd = m_FdRequestChannel.load();
    if (since == 0 || fd < 0 || waited < static_cast<int64_t>(graceMs)) return false;
    Debug.PrintAlways(0,
                      "CSwitchClient::AbortStalledRequest: the agent has not answered for %lld ms -> request "
                      "abandoned\n",
                      static_cast<long long>(waited));
    // Ends the waits of the exchange at once (end of file, a hang-up) while
    // the descriptor stays the request mutex holder's to close.
    shutdown(fd, SHUT_RDWR);
    return true;
}

int CSwitchClient::Exchange(const std::string& text, std::string& reply, unsigned timeoutSec, bool renew) {
    std::lock_guard<std::mutex> lock(m_RequestMutex);
    struct Inflight {
        std::atomic<int64_t>& since;
        explicit Inflight(std::atomic<int64_t>& s) : since(s) { since.store(nowMs()); }
        ~Inflight() { since.store(0); }
    } inflight(m_InflightSinceMs);
    ChannelState state;
    if (!renew) {
        state = channelState(m_FdRequestChannel.load());
        if (state.strayInput) {
            Debug.PrintAlways(
                0,
                "CSwitchClient::Request: a reply no request asked for waits on the request channel "
                "-> new channel\n");
            renew = true;
        }
    }
    if (renew) ReattachLocked();
    int rc =
        JsonSendRequest(m_FdRequestChannel.load(), text.c_str(), reply, timeoutSec, !renew && state.writable);
    if (rc == kJsonSendFailed || (rc == kJsonNoChannel && m_AttachCount > 0)) {
        // The daemon closed the channel (it stopped or restarted since the
        // attach): the frame never reached a daemon that could answer it, so
        // a new channel may carry it once more. Without this the first
        // request after every agent restart fails.
        m_RequestChannelBroken = true;
        if (ReattachLocked()) {
            rc = JsonSendRequest(m_FdRequestChannel.load(), text.c_str(), reply, timeoutSec);
            if (rc == kJsonSendFailed) m_RequestChannelBroken = true;
        }
    }
    return rc;
}

unsigned CSwitchClient::Request(SipJson& message, unsigned timeoutSec) {
    std::string text;
    text.reserve(256);
    message.ToString(text);
    // What the agent echoes in its reply: the command it answers.
    static const char* const kEchoed[] = {"OC", "OE", "OI", "CA"};
    unsigned asked[4];
    for (int i = 0; i < 4; ++i)
        asked[i] = message.GetCmdElemValue(static_cast<int>(message.GetCmdIndex()), kEchoed[i], 0);
    auto answersSomethingElse = [&] {
        const int index = static_cast<int>(message.GetCmdIndex());
        for (int i = 0; i < 4; ++i)
            if (message.GetCmdElemValue(index, kEchoed[i], asked[i]) != asked[i]) return true;
        return false;
    };
    std::string reply;
    int rc = Exchange(text, reply, timeoutSec);
    if (rc == kJsonReplyReceived) {
        message.LoadReceivedText(reply);
        // A reply that echoes another command belongs to some other request,
        // and this one's is still to come: a new channel gets the exchange
        // back in step, and the request goes once more.
        if (answersSomethingElse()) {
            Debug.PrintAlways(
                0, "CSwitchClient::Request: the reply answers another request (OC=0x%04X) -> new channel\n",
                message.GetCmdElemValue(static_cast<int>(message.GetCmdIndex()), "OC", 0));
            rc = Exchange(text, reply, timeoutSec, true);
            if (rc == kJsonReplyReceived) message.LoadReceivedText(reply);
        }
    }
    Debug.Print(4, "\nCSwitchClient::Request: reply data: %s", reply.c_str());
    if (rc != kJsonReplyReceived) {
        Debug.Print(1, "\nCSwitchClient::Request: request failed with rc=%d", rc);
        // The result says what went wrong on the way. No "ST" is left in the
        // message: a status there is the agent's word (19, for one, means an
        // absent object to the readers of the reply), and the agent said
        // nothing.
        message.GetCmd();
        message.RemoveCmdParam("ST");
        return static_cast<unsigned>(rc);
    }
    const int index = static_cast<int>(message.GetCmdIndex());
    const unsigned status = message.GetCmdElemValue(index, "ST", SipJson::kMissingStatus);
    Debug.Print(3,
                "\nCSwitchClient::Request: Receive response OC=0x%04X, OE=0x%04X, CB=0x%08X, OI=0x%08X, "
                "Status=0x%04X",
                message.GetCmdElemValue(index, "OC", 0), message.GetCmdElemValue(index, "OE", 0),
                message.GetCmdElemValue(index, "CA", 0), message.GetCmdElemValue(index, "OI", 0), status);
    return status;
}

bool CSwitchClient::GetServerCabinetNumber(unsigned& cabinet) {
    Debug.Print(2, "\nCSwitchClient       : Requesting server cabinet number...");
    SipJson message;
    message.GetCmd();
    message.SetCmdParam("OC", 0xE204);
    Request(message, 0);
    const int index = static_cast<int>(message.GetCmdIndex());
    if (message.GetCmdDataType(index) == kJsonNumberType) {
        unsigned value = 0;
        if (!message.GetCmdUIntData(index, value)) {
            value = 0;
        }
        cabinet = value;
        Debug.Print(2, "\nCSwitchClient       : -> server cabinet number = %d (0x%02X)", cabinet, cabinet);
        return true;
    }
    Debug.Print(1, "\nCSwitchClient       : ## ERROR! Failed to request server cabinet number (0x%02X)",
                message.GetCmdElemValue(index, "ST", SipJson::kMissingStatus));
    return false;
}

// ---------------------------------------------------------------------------
// Events

void CSwitchClient::Event(SipJson&) {}

bool CSwitchClient::RegisterEventHandler(TolmEventHandler handler, void* context) {
    CCriticalSection::Scoped lock(m_HandlerLock);
    m_Handlers[handler] = context;
    return true;
}

bool CSwitchClient::UnregisterEventHandler(TolmEventHandler handler) {
    CCriticalSection::Scoped lock(m_HandlerLock);
    return m_Handlers.erase(handler) != 0;
}

void CSwitchClient::ClosePipe() {
    std::lock_guard<std::mutex> lock(m_PipeMutex);
    closeFd(m_Pipe[0].exchange(-1));
    closeFd(m_Pipe[1].exchange(-1));
}

bool CSwitchClient::EnableEvents(bool enable, bool) {
    std::lock_guard<std::mutex> lock(m_EventsMutex);
    if (!enable) {
        Debug.Print(3, "JsonDisableEvents: we are going to disable events for this instance ...\n");
        if (!m_EventsEnabled.load()) {
            Debug.Print(3, "JsonDisableEvents: -> events already disabled -> ignored\n");
            return true;
        }
        DisableSequence();
        return true;
    }

    if (m_EventsEnabled.load()) {
        Debug.Print(3, "JsonEnableEvents: -> events already enabled -> ignored!\n");
        return true;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        Debug.Print(1, "JsonEnableEvents: ## ERROR: Cannot create pipe for termination thread\n");
        return false;
    }
    {
        std::lock_guard<std::mutex> pipeLock(m_PipeMutex);
        m_Pipe[0].store(fds[0]);
        m_Pipe[1].store(fds[1]);
    }
    Debug.Print(4, "JsonEnableEvents:   pipe [%d,%d] for termination-thread created\n", fds[0], fds[1]);

    const std::string name = ApplicationName();
    // One connect only: an agent that is not there yet must neither hold up
    // the caller (ten minutes of connects would block a subscription) nor
    // refuse it. The event thread then starts by waiting for the agent and
    // registers when it comes.
    const int fd = JsonRegisterForEvents(name.c_str(), 1);
    if (fd < 0) {
        Debug.Print(1, "JsonEnableEvents: WARNING: cannot register thread for events\n");
        Debug.Print(1, "JsonEnableEvents: the event thread waits for the agent\n");
    }
    m_FdEventChannel.store(fd);
    Debug.Print(4, "JsonEnableEvents:   thread for events registered on m_FdEventChannel=%d\n", fd);
    Debug.Print(4, "JsonEnableEvents:   start event thread \"%s\"...", "Thread_EventMain\n");
    Debug.Print(1, "CThread::SetThreadName: ThreadId = 0x%08X, DebugName = %s, Qualifier = (%s)\n",
                CThread::CurrentHandle(), name.c_str(), kEventThreadName);

    // Counted as running from here on, so that a disable sequence that comes
    // before the thread has set the flag itself still waits for it.
    m_EventThread.Kill();
    m_ThreadRunning.store(true);
    if (m_EventThread.Start(Thread_EventMain, this, kEventThreadPriority, false, kEventThreadStackSize, 0,
                            true)) {
        Debug.Print(4, "JsonEnableEvents:   thread for events (Modulename=%s, Details=%s started\n",
                    name.c_str(), kEventThreadName);
        Debug.Print(3, "JsonEnableEvents: events enabled\n");
        m_EventsEnabled.store(true);
        return true;
    }
    m_ThreadRunning.store(false);
    Debug.Print(
        1, "JsonEnableEvents: WARNING: cannot start thread for events (Modulename=%s, Details=%s started\n",
        name.c_str(), kEventThreadName);
    ClosePipe();
    JsonUnregisterForEvents(m_FdEventChannel.exchange(-1));
    return false;
}

void CSwitchClient::DisableSequence() {
    {
        std::lock_guard<std::mutex> lock(m_PipeMutex);
        const int writeEnd = m_Pipe[1].load();
        Debug.Print(1,
                    "WakeupThread_EventMain: wakeup WakeupThread_EventMain for termination on pipe[%d,%d]\n",
                    m_Pipe[0].load(), writeEnd);
        if (writeEnd >= 0) {
            ssize_t written;
            do {
                written = write(writeEnd, "WAKE", 4);
            } while (written < 0 && errno == EINTR);
        }
    }
    provider::sleepMs(kWakeSettleMs);
    for (unsigned i = 0; i < kStopPolls && m_ThreadRunning.load(); ++i) {
        Debug.Print(4, "JsonDisableEvents:   retry and wait for event thread terminated...\n");
        provider::sleepMs(kStopPollMs);
    }
    provider::sleepMs(kWakeSettleMs);
    Debug.Print(4, "JsonDisableEvents: unregister for events\n");
    JsonUnregisterForEvents(m_FdEventChannel.exchange(-1));
    Debug.Print(4, "JsonDisableEvents: close pipe\n");
    ClosePipe();
    Debug.Print(3, "JsonDisableEvents: events disabled\n");
    m_EventsEnabled.store(false);
}

void* CSwitchClient::Thread_EventMain(void* self) {
    if (self == nullptr) {
        Debug.Print(1, "Thread_EventMain: ## ERROR ## internal error on starting pClassContext = %p", self);
    } else {
        static_cast<CSwitchClient*>(self)->EventMain();
    }
    Debug.Print(1, "THREAD_RETURN: ## INFO: Thread = 0x%08X exited, Return = 0x%08x##\n",
                CThread::CurrentHandle(), 0u);
    return nullptr;
}

void CSwitchClient::EventMain() {
    Debug.Print(2, "Thread_EventMain: Event thread started\n");
    m_ThreadRunning.store(true);
    const std::string name = ApplicationName();

    for (;;) {
        const int pipeRead = m_Pipe[0].load();
        const int eventFd = m_FdEventChannel.load();
        if (pipeRead < 0) {
            // The pipe went while this thread was busy: the owner has stopped
            // waiting for it, which is a termination request all the same.
            Debug.Print(1, "Thread_EventMain: somebody signaled terminate -> bail out\n");
            break;
        }
        if (eventFd < 0) {
            // Started before the agent was there: wait for it first.
            if (!WaitForServiceAvailable()) {
                break;
            }
            continue;
        }
        // poll rather than select: a CIMOM may hold descriptors beyond
        // FD_SETSIZE. POLLPRI is select's exceptional condition.
        pollfd fds[2] = {{pipeRead, POLLIN, 0}, {eventFd, POLLIN | POLLPRI, 0}};
        Debug.Print(1, "Thread_EventMain: Enter select...\n");
        const int count = poll(fds, 2, -1);
        Debug.Print(1, "Thread_EventMain: ...return from select, count = %d\n", count);
        if (count == 0) {
            Debug.Print(1,
                        "Thread_EventMain: ## WARNING ##: select returned 0 (maybe timeout) --> continue\n");
            continue;
        }
        if (count < 0) {
            if (errno == EINTR) {
                Debug.Print(1, "Thread_EventMain: select interrupted by EINTR --> ignoring\n");
                continue;
            }
            Debug.Print(1, "Thread_EventMain: ## ERROR ##: select returned -1, errno=%d --> bail out\n",
                        errno);
            break;
        }
        if (fds[0].revents & POLLNVAL || fds[1].revents & POLLNVAL) {
            Debug.Print(1, "Thread_EventMain: ## ERROR ##: select returned -1, errno=%d --> bail out\n",
                        EBADF);
            break;
        }
        if (fds[0].revents != 0) {
            Debug.Print(1, "Thread_EventMain: somebody signaled terminate -> bail out\n");
            break;
        }
        if (fds[1].revents & POLLPRI) {
            if (!WaitForServiceAvailable()) {
                break;
            }
            continue;
        }
        if (fds[1].revents == 0) {
            continue;
        }

        SipJson event;
        Debug.Print(1, "Thread_EventMain: Get JSON event from socket %d...\n", eventFd);
        const int r = JsonGetEvent(event, eventFd, name.c_str());
        if (r == kEventChannelClosed) {
            // Closed already, and its number may have gone to another socket
            // of the host process since: forget it without closing it again.
            int expected = eventFd;
            m_FdEventChannel.compare_exchange_strong(expected, -1);
        }
        if (r == -1 || r == kEventChannelClosed) {
            Debug.Print(1, "Thread_EventMain: ## WARNING ##: JsonGetEvent failed --> try to reregister\n");
            if (!WaitForServiceAvailable()) {
                break;
            }
        } else if (r != eventFd) {
            Debug.Print(
                1,
                "Thread_EventMain: ## WARNING ##: Event channel has been reopened FdOld=%d, FdNew=%d --> "
                "accept it\n",
                eventFd, r);
            int expected = eventFd;
            if (!m_FdEventChannel.compare_exchange_strong(expected, r)) {
                // The owner took the channel over in the meantime.
                JsonUnregisterForEvents(r);
                break;
            }
        } else {
            DispatchEvent(event);
        }
    }

    ClosePipe();
    Debug.Print(2, "Thread_EventMain: Event thread exited\n");
    m_ThreadRunning.store(false);
}

void CSwitchClient::DispatchEvent(SipJson& event) {
    if (Debug.IsActive()) {
        const int index = static_cast<int>(event.GetCmdIndex());
        Debug.Print(1, "EVENT OC=%04X, OE=%04X, Cab=%02X, OId=%04X, Status=%04X, HasReplyData=%d\n",
                    event.GetCmdElemValue(index, "OC", 0), event.GetCmdElemValue(index, "OE", 0),
                    event.GetCmdElemValue(index, "CA", 0), event.GetCmdElemValue(index, "OI", 0),
                    event.GetCmdElemValue(index, "ST", SipJson::kMissingStatus),
                    event.HasReplyData() ? 1 : 0);
        Debug.Print(1, "Thread_EventMain: Call event methods from client\n");
    }
    // A handler escaping with an exception would end the event thread and
    // with it the host process; it is traced and the dispatch goes on.
    auto guarded = [](const char* what, auto&& call) {
        try {
            call();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            Debug.Print(1, "Thread_EventMain: ## ERROR ##: %s threw an exception --> ignored\n", what);
        }
    };
    {
        CCriticalSection::Scoped lock(m_HandlerLock);
        // Handlers may register or unregister handlers (themselves included)
        // while the map is being walked. Walking a copy keeps the iteration
        // valid; looking every entry up again before calling it makes an
        // unregistration take effect at once, even within this dispatch, and
        // uses the newest context of a re-registered handler.
        const std::vector<std::pair<TolmEventHandler, void*>> snapshot(m_Handlers.begin(), m_Handlers.end());
        for (const auto& entry : snapshot) {
            const auto live = m_Handlers.find(entry.first);
            if (live == m_Handlers.end()) {
                continue;
            }
            const TolmEventHandler handler = live->first;
            void* const context = live->second;
            const unsigned address = low32(reinterpret_cast<const void*>(handler));
            Debug.Print(5, "\nCCallbackMap        : Call notification callback 0x%X .. ", address);
            guarded("event handler", [&] { handler(event, context); });
            Debug.Print(5, "\nCCallbackMap        : .. notification callback 0x%X finished", address);
        }
    }
    guarded("Event()", [&] { Event(event); });
    Debug.Print(1, "Thread_EventMain: ...return from client call\n");
}

bool CSwitchClient::IsJsonServiceAvailable() {
    if (!pathExists(provider::systemPath(pidFileFor(kServiceRqbd).c_str()))) {
        return false;
    }
    const std::string socketPath = provider::systemPath(kRqbdRequestSocket);
    if (!pathExists(socketPath)) {
        return false;
    }
    const int fd = OpenDevice(socketPath.c_str());
    closeFd(fd);
    return fd >= 0;
}

bool CSwitchClient::WaitForServiceAvailable() {
    JsonUnregisterForEvents(m_FdEventChannel.exchange(-1));
    if (!IsServiceInstalled(kServiceRqbd)) {
        Debug.Print(1,
                    "WaitForServiceAvailable: ## WARNING ##: rqbd service no longer available -> bail out\n");
        return false;
    }
    unsigned maxWait = kDefaultMaxWaitSec;
    const char* env = getenv("QM_MAXWAIT_FOR_RQBD");
    if (env != nullptr && *env != '\0') {
        // A setting that is no number must not end the recovery at once (it
        // would read as 0): it is said so, and the default holds.
        char* end = nullptr;
        errno = 0;
        const unsigned long value = strtoul(env, &end, 10);
        if (errno != 0 || end == env || *end != '\0' || value > UINT_MAX || env[0] == '-') {
            Debug.PrintAlways(
                0, "WaitForServiceAvailable: QM_MAXWAIT_FOR_RQBD=\"%s\" is no number of seconds -> %u\n", env,
                kDefaultMaxWaitSec);
        } else {
            maxWait = static_cast<unsigned>(value);
        }
    }
    Debug.Print(2,
                "WaitForServiceAvailable: TerminateFD=%d, InternalMaxWaitTime=%d sec, Check-period=%d sec\n",
                m_Pipe[0].load(), maxWait, kCheckPeriodSec);
    unsigned accumulated = kCheckPeriodSec;
    if (maxWait < kCheckPeriodSec) {
        Debug.Print(1, "WaitForServiceAvailable: AccumulatedWaitTime=%d expired -> bail out\n", accumulated);
        return false;
    }

    const int periodMs = static_cast<int>(provider::scaledMs(kCheckPeriodSec * 1000));
    for (;;) {
        const int pipeRead = m_Pipe[0].load();
        if (pipeRead < 0) {
            Debug.Print(
                1,
                "WaitForServiceAvailable: terminate has been signaled (AccumulatedWaitTime=%d) -> bail out\n",
                accumulated);
            return false;
        }
        pollfd pfd{pipeRead, POLLIN, 0};
        const auto start = std::chrono::steady_clock::now();
        const int rc = poll(&pfd, 1, periodMs);
        if (rc < 0 && errno != EINTR) {
            Debug.Print(
                1, "WaitForServiceAvailable: Something is FISHY here (AccumulatedWaitTime=%d) -> bail out\n",
                accumulated);
            return false;
        }
        if (rc < 0) {
            const long elapsedUs = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                         std::chrono::steady_clock::now() - start)
                                                         .count());
            const long restUs = elapsedUs < periodMs * 1000L ? periodMs * 1000L - elapsedUs : 0;
            Debug.Print(1, "WaitForServiceAvailable: select interrupted by EINTR --> ignoring\n");
            Debug.Print(1, "WaitForServiceAvailable: tv_sec=%d, tv_usec=%d (AccumulatedWaitTime=%d)\n",
                        static_cast<int>(restUs / 1000000), static_cast<int>(restUs % 1000000), accumulated);
        } else if (rc > 0) {
            if (pfd.revents & POLLIN) {
                Debug.Print(
                    1,
                    "WaitForServiceAvailable: terminate has been signaled (AccumulatedWaitTime=%d) -> bail "
                    "out\n",
                    accumulated);
            } else {
                Debug.Print(
                    1,
                    "WaitForServiceAvailable: Something is FISHY here !!! (AccumulatedWaitTime=%d) -> bail "
                    "out\n",
                    accumulated);
            }
            return false;
        }
        if (IsJsonServiceAvailable()) {
            break;
        }
        accumulated += kCheckPeriodSec;
        if (accumulated > maxWait) {
            Debug.Print(1, "WaitForServiceAvailable: AccumulatedWaitTime=%d expired -> bail out\n",
                        accumulated);
            return false;
        }
    }

    Debug.Print(1, "WaitForServiceAvailable: rqbd service is now available (AccumulatedWaitTime=%d)\n",
                accumulated);
    const int fd = JsonRegisterForEvents(ApplicationName().c_str());
    if (fd < 0) {
        Debug.Print(1, "ReregisterForEvents: ## WARNING ##: cannot reregister thread for events\n");
        return false;
    }
    m_FdEventChannel.store(fd);
    Debug.Print(1, "ReregisterForEvents:   thread for events reregistered on m_FdEventChannel=%d\n", fd);
    return true;
}
