#include "switchclient/JsonChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "support/CDebug.h"
#include "support/SystemPaths.h"
#include "support/Waits.h"
#include "switchclient/SipJson.h"

namespace {

// Stated waits and counts of the protocol, in production units.
constexpr int kAttachAttempts = 20;
constexpr uint32_t kAttachRetryMs = 50;
constexpr int kTransferAttempts = 10;
constexpr uint32_t kTransferRetryMs = 1000;
constexpr unsigned kDefaultTimeoutSec = 30000;
constexpr unsigned kInitTimeoutSec = 30000;
constexpr uint32_t kEventConnectRetryMs = 1000;
constexpr uint32_t kReopenPauseMs = 1000;
// Shown in the attach trace as the channel's limits.
constexpr int kChannelTimeoutMs = 30000;
constexpr int kChannelRetries = 10;
// How long a read in the middle of an event frame waits for the rest before
// it counts as failed. The event channel has no stated limit; without one a
// daemon that stalls mid-frame would hold the event thread forever.
constexpr uint32_t kEventStallMs = 30000;
// Spare zero bytes behind a received payload, so a payload without a NUL
// still reads as a terminated text.
constexpr size_t kReceiveSlack = 20;
constexpr size_t kSendSlack = 21;
constexpr size_t kLengthWordSize = 4;

unsigned ThreadId() { return static_cast<unsigned>(pthread_self()); }

const char* ErrorText(int error, char* buffer, size_t size) { return strerror_r(error, buffer, size); }

struct ErrorString {
    explicit ErrorString(int error) : text(ErrorText(error, buffer, sizeof buffer)) {}
    char buffer[128];
    const char* text;
};

const char* Shown(const char* text) { return text != nullptr ? text : "(null)"; }

int PollTimeout(uint64_t ms) { return ms > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms); }

uint64_t MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec);
}

// One read of up to size bytes. A non-negative waitMs waits that long for
// data that is not there yet; finding none is a failed read (-1, ETIMEDOUT).
// A negative waitMs reads at once and may block.
ssize_t ReadSome(int fd, void* buffer, size_t size, int waitMs) {
    if (waitMs >= 0) {
        // A frame usually arrives whole: what is already there is read
        // without waiting, and only a missing piece costs a poll.
        const ssize_t now = recv(fd, buffer, size, MSG_DONTWAIT);
        if (now >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTSOCK)) {
            return now;
        }
        pollfd p{fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&p, 1, waitMs);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (ready < 0) {
            return -1;
        }
    }
    return read(fd, buffer, size);
}

// Reads the 4-byte length word. One read normally delivers it whole; a short
// read is continued (waiting at most stallMs for each further piece) until
// the word is complete or a read fails. On failure lastResult holds the
// failing read's result and errno its error.
bool ReadLengthWord(int fd, int firstWaitMs, int stallMs, uint32_t& length, ssize_t& lastResult) {
    unsigned char word[kLengthWordSize];
    size_t got = 0;
    while (got < kLengthWordSize) {
        const ssize_t result =
            ReadSome(fd, word + got, kLengthWordSize - got, got == 0 ? firstWaitMs : stallMs);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 1) {
            lastResult = result;
            return false;
        }
        got += static_cast<size_t>(result);
    }
    std::memcpy(&length, word, sizeof length);
    lastResult = static_cast<ssize_t>(got);
    return true;
}

// Reply stage of a request: waits for the reply frame and reads it.
int ReceiveReply(int fd, std::string& reply, unsigned waitMs) {
    const int ready = IsFdReady(fd, POLLIN, waitMs);
    if (ready != POLLIN) {
        Debug.Print(
            4,
            "SendRequestOnFd: it seems that socket %d is not ready for read (pollresult=%d) -> bail out!\n",
            fd, ready);
        return kJsonNoReply;
    }
    const int stallMs = PollTimeout(waitMs);
    uint32_t length = 0;
    ssize_t rw = 0;
    if (!ReadLengthWord(fd, stallMs, stallMs, length, rw)) {
        const int error = rw < 0 ? errno : 0;
        Debug.Print(1, "SendRequestOnFd: something is fishy on fd=%d (rwresult=%d, errno=%d)\n", fd,
                    static_cast<int>(rw), error);
        return kJsonReceiveFailed;
    }
    if (length > kMaxFramePayload) {
        Debug.Print(1,
                    "SendRequestOnFd: reply length %u on fd=%d exceeds the limit of %u bytes -> bail out\n",
                    length, fd, kMaxFramePayload);
        return kJsonReceiveFailed;
    }
    const size_t capacity = length + kReceiveSlack;
    // Not zeroed: only the length bytes read are looked at, and a log chunk's
    // reply runs to tens of kilobytes.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]);
    if (!buffer) {
        Debug.PrintAlways(
            0, "SendRequestOnFd: ERROR: Can't allocate memory for JSON reply on fd=%d (size=%d)!\n", fd,
            static_cast<int>(capacity));
        return kJsonNoMemory;
    }
    Debug.Print(4, "SendRequestOnFd: read reply on fd=%d, ReplyLen=%d ...\n", fd, static_cast<int>(length));

    size_t got = 0;
    bool complete = length == 0;
    for (int retry = kTransferAttempts; !complete && retry > 0; --retry) {
        const ssize_t result = ReadSome(fd, buffer.get() + got, length - got, stallMs);
        Debug.Print(4, "SendRequestOnFd: data read from socket, rwresult = %d\n", static_cast<int>(result));
        if (result > 0 && got + static_cast<size_t>(result) < length) {
            // Progress: a large frame comes in socket-buffer-sized pieces;
            // only reads that bring nothing count against the retries.
            got += static_cast<size_t>(result);
            ++retry;
            continue;
        }
        if (result >= 0) {
            got += static_cast<size_t>(result);
            if (got == length) {
                Debug.Print(4, "SendRequestOnFd: receiving reply on fd=%d done, inLength=%d\n", fd,
                            static_cast<int>(got));
                complete = true;
                break;
            }
            Debug.Print(1,
                        "SendRequestOnFd: receiving reply on fd=%d incomplete (inLength=%d, InOutMax=%d, "
                        "pCmdJReply->len=%d) --> continue=%d\n",
                        fd, static_cast<int>(got), static_cast<int>(capacity), static_cast<int>(length),
                        retry);
        } else if (errno == EINTR) {
            Debug.Print(1,
                        "SendRequestOnFd: receiving reply on fd=%d interrupted (errno=EINTR, inLength=%d, "
                        "InOutMax=%d) --> retry=%d\n",
                        fd, static_cast<int>(got), static_cast<int>(capacity), retry);
        } else {
            Debug.Print(
                1,
                "SendRequestOnFd: receiving reply on fd=%d failed (inLength=%d, InOutMax=%d) --> bail out\n",
                fd, static_cast<int>(got), static_cast<int>(capacity));
            return kJsonReceiveFailed;
        }
        provider::sleepMs(kTransferRetryMs);
    }
    if (!complete) {
        Debug.Print(1,
                    "SendRequestOnFd: receiving reply on fd=%d failed (inLength=%d, InOutMax=%d, "
                    "pCmdJReply->len=%d)\n",
                    fd, static_cast<int>(got), static_cast<int>(capacity), static_cast<int>(length));
        return kJsonReceiveFailed;
    }
    reply.assign(buffer.get(), strnlen(buffer.get(), length));
    Debug.Print(4, "CSwitchClient::JsonSendRequest: JSON reply on fd=%d, BytesReceived=%d: %s\n", fd,
                static_cast<int>(got), reply.c_str());
    return kJsonReplyReceived;
}

// Send stage of a request. A frame still incomplete after the last attempt
// goes on to the reply stage all the same; the daemon then either answers
// or the reply stage times out.
int SendFrame(int fd, const unsigned char* frame, size_t frameLength, unsigned waitMs, bool writable) {
    size_t sent = 0;
    for (int retry = kTransferAttempts; retry > 0; --retry) {
        const int ready = writable && retry == kTransferAttempts ? POLLOUT : IsFdReady(fd, POLLOUT, waitMs);
        if (ready != POLLOUT) {
            Debug.Print(
                4,
                "SendRequestOnFd: it seems that socket %d is not ready for write (pollresult=%d) -> bail "
                "out!\n",
                fd, ready);
            return kJsonSendFailed;
        }
        Debug.Print(4, "SendRequestOnFd: write request string to socket %d...\n", fd);
        const ssize_t result = send(fd, frame + sent, frameLength - sent, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno != EINTR) {
                Debug.Print(1,
                            "SendRequestOnFd: sending request on fd=%d failed (outLength=%d, InOutMax=%d) "
                            "--> bail out\n",
                            fd, static_cast<int>(sent), static_cast<int>(frameLength));
                return kJsonSendFailed;
            }
            Debug.Print(1,
                        "SendRequestOnFd: sending request on fd=%d interrupted (errno=EINTR, outLength=%d, "
                        "InOutMax=%d) --> retry=%d\n",
                        fd, static_cast<int>(sent), static_cast<int>(frameLength), retry);
        } else if (result == 0) {
            Debug.Print(1,
                        "SendRequestOnFd: sending request on fd=%d failed EOF (outLength=%d, InOutMax=%d, "
                        "rwresult=%d): --> bail out\n",
                        fd, static_cast<int>(sent), static_cast<int>(frameLength), static_cast<int>(result));
            return kJsonSendFailed;
        } else {
            sent += static_cast<size_t>(result);
            if (sent == frameLength) {
                Debug.Print(4, "SendRequestOnFd: sending request on fd=%d done, rwresult=%d\n", fd,
                            static_cast<int>(result));
                return kJsonReplyReceived;
            }
            Debug.Print(
                1,
                "SendRequestOnFd: sending request on fd=%d incomplete (outLength=%d, InOutMax=%d) --> "
                "continue=%d\n",
                fd, static_cast<int>(sent), static_cast<int>(frameLength), retry);
        }
        provider::sleepMs(kTransferRetryMs);
    }
    return kJsonReplyReceived;
}

// Re-opens the event channel after a broken frame. The new channel never
// reuses the old descriptor's number: the caller tells "re-opened" from "an
// event was read" by comparing descriptors, and the kernel hands out the
// lowest free number, which is often the one just closed.
int ReopenAfterBrokenFrame(const char* clientName, int fd) {
    const std::string path = provider::systemPath(kRqbdEventSocket);
    int reopened = ReOpenEventChannel(clientName, fd);
    if (reopened == fd) {
        const int moved = fcntl(reopened, F_DUPFD_CLOEXEC, 0);
        close(reopened);
        reopened = moved;
    }
    if (reopened < 0) {
        Debug.PrintAlways(0, "GetEventJson: ERROR: Can't reopen Event Channel on %s --> ignore this event!\n",
                          path.c_str());
        return kEventChannelClosed;
    }
    Debug.PrintAlways(0, "GetEventJson: Event Channel reopened on %s, new fd=%d\n", path.c_str(), reopened);
    return reopened;
}

}  // namespace

int OpenDevice(const char* path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        ErrorString text(error);
        Debug.PrintAlways(0, "OpenDevice: ERROR: create socket on %s failed (thrId=0x%08X): %s\n",
                          Shown(path), ThreadId(), text.text);
        errno = error;
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = path != nullptr ? std::strlen(path) : 0;
    int result = -1;
    if (length == 0) {
        errno = ENOENT;
    } else if (length > sizeof address.sun_path) {
        errno = ENAMETOOLONG;
    } else {
        std::memcpy(address.sun_path, path, length);
        // The address ends with the path; no terminating NUL is counted.
        result = connect(fd, reinterpret_cast<const sockaddr*>(&address),
                         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    }
    if (result != 0) {
        const int error = errno;
        ErrorString text(error);
        Debug.PrintAlways(0, "OpenDevice: ERROR: connect to socket on %s failed (thrId=0x%08X): %s\n",
                          Shown(path), ThreadId(), text.text);
        close(fd);
        errno = error;
        return -2;
    }
    return fd;
}

int IsFdReady(int fd, unsigned mask, unsigned timeoutMs) {
    if (fd < 0) {
        Debug.PrintAlways(0, "IsFdReady: ERROR: bad parameter for Fd=%d\n", fd);
        return kFdBadDescriptor;
    }
    if (timeoutMs == 0) {
        Debug.PrintAlways(0, "IsFdReady: ERROR: bad parameter for TimeoutMsec=0(!) on fd=%d\n", fd);
        return kFdZeroTimeout;
    }
    const uint64_t start = MonotonicSeconds();
    uint64_t rest = timeoutMs;
    pollfd p{fd, static_cast<short>(mask), 0};
    for (;;) {
        p.revents = 0;
        const int result = poll(&p, 1, PollTimeout(rest));
        if (result > 0) {
            break;
        }
        if (result == 0) {
            Debug.PrintAlways(0, "IsFdReady: ERROR: Timeout on fd=%d (Timeout=%d, RestTimeout=%d\n", fd,
                              static_cast<int>(timeoutMs), static_cast<int>(rest));
            return kFdTimeout;
        }
        const int error = errno;
        if (error != EINTR) {
            ErrorString text(error);
            Debug.PrintAlways(0, "IsFdReady: ERROR: poll() failed on fd=%d: errno=%d  %s\n", fd, error,
                              text.text);
            return kFdHangupOrPollFailure;
        }
        Debug.Print(1, "IsFdReady: poll() interrupted due to EINTR on fd=%d --> try to continue!\n", fd);
        const uint64_t elapsedMs = (MonotonicSeconds() - start) * 1000;
        if (elapsedMs >= timeoutMs) {
            Debug.PrintAlways(0,
                              "IsFdReady: ERROR: Timeout after EINTR on fd=%d (Timeout=%d, RestTimeout=%d\n",
                              fd, static_cast<int>(timeoutMs), static_cast<int>(rest));
            return kFdTimeout;
        }
        rest = timeoutMs - elapsedMs;
    }
    const unsigned returned = static_cast<unsigned short>(p.revents);
    if (returned & POLLHUP) {
        Debug.PrintAlways(0, "IsFdReady: ERROR: Hangup on fd=%d\n", fd);
        return kFdHangupOrPollFailure;
    }
    if (returned & (POLLERR | POLLNVAL)) {
        char byte;
        const int error = read(fd, &byte, 1) < 0 ? errno : 0;
        ErrorString text(error);
        Debug.PrintAlways(0, "IsFdReady: ERROR on fd=%d, Result=0x%08X: errno=%d, %s\n", fd, returned, error,
                          text.text);
        return kFdErrorCondition;
    }
    if ((returned & mask) != mask) {
        Debug.PrintAlways(
            0,
            "IsFdReady: ERROR on fd=%d, returned pollmask invalid (PollFdStruct.revents=0x%08X, "
            "PollMask=0x%08X)\n",
            fd, returned, mask);
        return kFdErrorCondition;
    }
    return static_cast<int>(mask);
}

int JsonAttach(const char* path, const char* clientName) {
    const char* name = clientName != nullptr ? clientName : "";
    Debug.Print(4, "JsonAttach: Connect from client \"%s\" to socket %s...\n", name, Shown(path));
    int fd = -1;
    for (int attempt = 1; attempt <= kAttachAttempts; ++attempt) {
        Debug.Print(4, "\nJsonAttach: connect to rqbd JSON socket \"%s\"...", Shown(path));
        fd = OpenDevice(path);
        if (fd >= 0) {
            break;
        }
        const int error = errno;
        provider::sleepMs(kAttachRetryMs);
        if (attempt == 1 || attempt == 11) {
            ErrorString text(error);
            Debug.Print(3, "JsonAttach: Connect to socket %s failed (thrId=0x%08X): %s --> retry #%d\n",
                        Shown(path), ThreadId(), text.text, attempt);
        }
        if (attempt == kAttachAttempts) {
            Debug.PrintAlways(0,
                              "JsonAttach: ERROR: cannot open rqbd JSON request channel %s (thrId=0x%08X)\n",
                              Shown(path), ThreadId());
            return fd;
        }
    }
    Debug.Print(4, "JsonAttach: Client \"%s\" successfully connected to socket %s\n", name, Shown(path));
    Debug.Print(
        4, "JsonAttach: Request channel to %s (fd=%d, Timeout=%d, Retries=%d msec) opened (thrId=0x%08X)\n",
        Shown(path), fd, kChannelTimeoutMs, kChannelRetries, ThreadId());
    if (!SendInitChannelCommand(fd, name, kChannelTypeRequest)) {
        close(fd);
        return -1;
    }
    return fd;
}

void JsonDetach(int fd, const char* /*path*/) {
    if (fd < 0) {
        return;
    }
    Debug.Print(4, "JsonAttach: Disconnecting from socket...\n");
    close(fd);
    Debug.Print(4, "JsonAttach: -> disconnected\n");
}

int JsonSendRequest(int fd, const char* request, std::string& reply, unsigned timeoutSec, bool writable) {
    const char* text = request != nullptr ? request : "";
    const size_t length = std::strlen(text);
    std::unique_ptr<unsigned char[]> frame;
    if (length < kMaxFramePayload) {
        frame.reset(new (std::nothrow) unsigned char[length + kSendSlack]);
    }
    if (!frame) {
        Debug.Print(1, "CSwitchClient::JsonSendRequest: ERROR Failed to allocate JSON reply buffer!\n");
        return kJsonNoMemory;
    }
    Debug.Print(4, "CSwitchClient::JsonSendRequest: send JSON request string: %s\n", text);
    const uint32_t payloadLength = static_cast<uint32_t>(length + 1);
    std::memcpy(frame.get(), &payloadLength, kLengthWordSize);
    std::memcpy(frame.get() + kLengthWordSize, text, length);
    frame[kLengthWordSize + length] = 0;
    const size_t frameLength = kLengthWordSize + payloadLength;

    // 0 selects the default of 30000 seconds, as the daemon's own clients do.
    const uint64_t limitMs = static_cast<uint64_t>(timeoutSec != 0 ? timeoutSec : kDefaultTimeoutSec) * 1000;
    const unsigned waitMs = provider::scaledMs(static_cast<uint32_t>(limitMs > INT_MAX ? INT_MAX : limitMs));

    int result;
    if (fd < 0) {
        Debug.PrintAlways(0, "SendRequestOnFd: sending request failed (request channel not available)\n");
        result = kJsonNoChannel;
    } else {
        result = SendFrame(fd, frame.get(), frameLength, waitMs, writable);
        if (result == kJsonReplyReceived) {
            result = ReceiveReply(fd, reply, waitMs);
        }
    }
    if (result != kJsonReplyReceived) {
        Debug.Print(4, "CSwitchClient::JsonSendRequest: on fd=%d failed\n", fd);
    }
    return result;
}

bool SendInitChannelCommand(int fd, const char* clientName, unsigned channelType) {
    SipJson command;
    command.SetCmd(command.GetCmd(), kInitChannelOpcode, channelType, 0, 0, SipJson::kNoStatus);
    unsigned char block[kInitBlockSize] = {};
    // A name of 65 characters or more keeps its first 64 and the NUL.
    const size_t nameLength = clientName != nullptr ? strnlen(clientName, kInitBlockNameSize - 1) : 0;
    std::memcpy(block, clientName != nullptr ? clientName : "", nameLength);
    const uint32_t descriptor = static_cast<uint32_t>(fd);
    for (size_t i = 0; i < 4; ++i) {
        block[kInitBlockFdOffset + i] = static_cast<unsigned char>(descriptor >> (8 * i));
    }
    command.SetDataRaw(block, sizeof block);
    std::string text;
    command.ToString(text);

    std::string reply;
    const int result = JsonSendRequest(fd, text.c_str(), reply, kInitTimeoutSec);
    if (result == kJsonNoMemory) {
        Debug.PrintAlways(
            0, "SendInitChannelCommand: Can't initialize Request Channel on fd=%d --> close it !\n", fd);
        return false;
    }
    if (Debug.IsActive()) {
        SipJson answer;
        answer.LoadReceivedText(reply);
        CDataStream returned;
        answer.GetCmdDataStream(static_cast<int>(answer.GetCmdIndex()), returned);
        if (returned.size() >= kInitBlockFdOffset + 4) {
            uint32_t daemonFd = 0;
            for (size_t i = 0; i < 4; ++i) {
                daemonFd |= static_cast<uint32_t>(returned[kInitBlockFdOffset + i]) << (8 * i);
            }
            Debug.Print(4,
                        "SendInitChannelCommand: Request Channel (type=JSON) opened and initialized (fd=%d, "
                        "rqbdfd=%d)\n",
                        fd, static_cast<int>(daemonFd));
        }
    }
    return true;
}

int JsonRegisterForEvents(const char* clientName, int connectAttempts) {
    const std::string path = provider::systemPath(kRqbdEventSocket);
    int fd = -1;
    for (int attempt = 0; attempt < connectAttempts; ++attempt) {
        fd = OpenDevice(path.c_str());
        if (fd >= 0 || attempt + 1 == connectAttempts) {
            break;
        }
        if (attempt % 10 == 0) {
            const int error = errno;
            ErrorString text(error);
            Debug.PrintAlways(0, "OpenEventChannel: Connect to %s failed: errno=%d %s --> retry (%d)\n",
                              path.c_str(), error, text.text, attempt);
        }
        provider::sleepMs(kEventConnectRetryMs);
    }
    if (fd < 0) {
        Debug.PrintAlways(0, "OpenEventChannel: Connect to %s failed after %d retries --> bail out\n",
                          path.c_str(), connectAttempts);
        return -1;
    }
    Debug.Print(2, "OpenEventChannel: Event Channel to %s (fd=%d) opened\n", path.c_str(), fd);
    if (!SendInitChannelCommand(fd, clientName, kChannelTypeEvent)) {
        Debug.Print(2, "JsonRegisterForEvents: client cannot register for events on fd=%d -> close it!\n",
                    fd);
        CloseEventChannel(fd);
        return -1;
    }
    Debug.Print(2, "JsonRegisterForEvents: client registered for events on fd=%d\n", fd);
    return fd;
}

void CloseEventChannel(int fd) {
    const std::string path = provider::systemPath(kRqbdEventSocket);
    if (fd >= 0) {
        close(fd);
        Debug.Print(4, "CloseEventChannel: Event channel to %s (fd=%d) closed\n", path.c_str(), fd);
    } else {
        Debug.Print(4, "CloseEventChannel: Event channel to %s already closed - ignored\n", path.c_str());
    }
}

void JsonUnregisterForEvents(int fd) {
    if (fd >= 0) {
        Debug.Print(2, "JsonUnregisterForEvents: unregister event channel, fd=%d\n", fd);
        CloseEventChannel(fd);
    }
    Debug.Print(2, "JsonUnregisterForEvents: client unregistered for events\n");
}

int ReOpenEventChannel(const char* clientName, int fd) {
    const std::string path = provider::systemPath(kRqbdEventSocket);
    if (fd >= 0) {
        CloseEventChannel(fd);
        provider::sleepMs(kReopenPauseMs);
    }
    const int reopened = JsonRegisterForEvents(clientName);
    if (reopened < 0) {
        Debug.PrintAlways(0, "ReOpenEventChannel: ERROR: Can't re-open Event Channel to %s\n", path.c_str());
    } else {
        Debug.PrintAlways(0, "ReOpenEventChannel: Event Channel to %s re-opened (fd=%d)\n", path.c_str(),
                          reopened);
    }
    return reopened;
}

int JsonGetEvent(SipJson& event, int fd, const char* clientName) {
    if (fd < 0) {
        Debug.PrintAlways(
            0, "GetEventJson: ERROR: called with invalid fdEventChannel (%d) --> ignore this event\n", fd);
        return -1;
    }
    const int stallMs = static_cast<int>(provider::scaledMs(kEventStallMs));
    uint32_t length = 0;
    ssize_t rw = 0;
    if (!ReadLengthWord(fd, -1, stallMs, length, rw)) {
        const int error = rw < 0 ? errno : 0;
        Debug.Print(1, "GetEventJson: something is fishy on fd=%d (rwresult=%d, errno=%d)\n", fd,
                    static_cast<int>(rw), error);
        return -1;
    }
    if (length > kMaxFramePayload) {
        // The payload is not read, so the stream is out of step: only a new
        // channel gets back to frame boundaries.
        Debug.Print(
            1, "GetEventJson: ERROR: Event length %u on fd=%d exceeds the limit of %u bytes --> reopen\n",
            length, fd, kMaxFramePayload);
        return ReopenAfterBrokenFrame(clientName, fd);
    }
    const size_t capacity = length + kReceiveSlack;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]());
    if (!buffer) {
        Debug.PrintAlways(0, "GetEventJson: ERROR: Can't allocate memory for JSON event!\n");
        return fd;
    }

    size_t got = 0;
    bool complete = length == 0;
    for (int attempt = 1; !complete && attempt <= kTransferAttempts; ++attempt) {
        const ssize_t result = ReadSome(fd, buffer.get() + got, length - got, stallMs);
        if (result > 0 && got + static_cast<size_t>(result) < length) {
            // Progress: a large frame comes in socket-buffer-sized pieces;
            // only reads that bring nothing count against the attempts.
            got += static_cast<size_t>(result);
            --attempt;
            continue;
        }
        if (result == 0 && attempt == 1 && got == 0) {
            Debug.Print(
                1,
                "GetEventJson: Event receiving on fd=%d failed EOF (inLength=%d, InMax=%d) --> ignore this "
                "event!\n",
                fd, static_cast<int>(got), static_cast<int>(length));
            return -1;
        }
        if (result >= 0) {
            got += static_cast<size_t>(result);
            if (got == length) {
                complete = true;
                break;
            }
            Debug.Print(
                1,
                "GetEventJson: Event receiving on fd=%d incomplete (inLength=%d, InMax=%d, RetryCnt=%d) --> "
                "continue\n",
                fd, static_cast<int>(got), static_cast<int>(length), attempt);
        } else if (errno == EINTR) {
            Debug.Print(
                1,
                "GetEventJson: Event receiving on fd=%d interrupted (errno=EINTR, inLength=%d, InMax=%d) --> "
                "retry=%d\n",
                fd, static_cast<int>(got), static_cast<int>(length), kTransferAttempts - attempt);
        } else {
            Debug.Print(
                1,
                "GetEventJson: ERROR: Event receiving on fd=%d failed (inLength=%d, InMax=%d) --> reopen\n",
                fd, static_cast<int>(got), static_cast<int>(length));
            return ReopenAfterBrokenFrame(clientName, fd);
        }
        provider::sleepMs(kTransferRetryMs);
    }
    if (!complete) {
        Debug.Print(1,
                    "GetEventJson: ERROR: Event receiving on fd=%d failed: inLength invalid (inLength=%d, "
                    "InMax=%d) --> reopen\n",
                    fd, static_cast<int>(got), static_cast<int>(length));
        return ReopenAfterBrokenFrame(clientName, fd);
    }
    Debug.Print(2, "GetEventJson: processing event on fd=%d (inLength=%d)\n", fd, static_cast<int>(got));
    event.LoadReceivedText(buffer.get());
    return fd;
}
