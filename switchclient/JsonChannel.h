// Transport of agent messages over the local Unix-domain stream sockets of
// the agent daemon rqbd.
//
// Frame, both directions and both channels:
//
//   offset 0  4 bytes  payload length L (host byte order)
//   offset 4  L bytes  the JSON text followed by one NUL (L = text length + 1)
//
// A receiver takes the payload up to its first NUL as the text. There is no
// request identifier: the reply is the next frame on the same request socket,
// so one request channel carries one exchange at a time.
//
// These functions keep no state beyond the descriptors their callers hold;
// the caller (CSwitchClient) owns the descriptors and serialises the calls.
// They take no locks, never throw, and report failure by return value. Every
// message goes to the trace facility. Writes use MSG_NOSIGNAL, so a vanished
// daemon shows as a failed send rather than a SIGPIPE in the host process.
//
// Fixed endpoints below are written as in production; callers pass them
// through provider::systemPath(). JsonRegisterForEvents does so itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SipJson;

// Readiness probe, JSON request channel and JSON event channel.
constexpr char kRqbdProbeSocket[] = "/dev/rqbds";
constexpr char kRqbdRequestSocket[] = "/dev/rqbdsj";
constexpr char kRqbdEventSocket[] = "/dev/rqbdaj";

// Channel init handshake: the command's opcode, its "OE" per channel type,
// and the init block carried as "DA"."RAW" (name NUL-padded, then the
// descriptor little-endian, then zeros).
constexpr unsigned kInitChannelOpcode = 0xFFA0;
constexpr unsigned kChannelTypeRequest = 0x1100;
constexpr unsigned kChannelTypeEvent = 0x1200;
constexpr size_t kInitBlockSize = 218;
constexpr size_t kInitBlockNameSize = 65;  // a longer client name is cut to 64 characters + NUL
constexpr size_t kInitBlockFdOffset = 65;

// Largest payload accepted in either direction. Agent messages are a few
// KiB (a 218-byte init block as RAW is under 1 KiB, log chunks a few tens of
// KiB); a length word above this comes from a corrupt or hostile stream and
// is treated as a failed read instead of being allocated.
constexpr uint32_t kMaxFramePayload = 16u * 1024u * 1024u;

// Result codes of JsonSendRequest. A failed request carries its code as the
// command status.
enum JsonRequestResult : int {
    kJsonReplyReceived = 0,
    kJsonNoReply = 5,        // not readable within the limit
    kJsonReceiveFailed = 6,  // reading the reply failed, or its length was absurd
    kJsonNoMemory = 17,      // no buffer for the request or the reply
    kJsonNoChannel = 19,     // negative descriptor
    kJsonSendFailed = 22,    // sending failed
};

// Result codes of IsFdReady other than the mask itself.
enum FdReadyResult : int {
    kFdBadDescriptor = -3,
    kFdZeroTimeout = -4,
    kFdHangupOrPollFailure = -6,
    kFdErrorCondition = -9,
    kFdTimeout = -15,
};

// Connects an AF_UNIX stream socket to path (used as given). Returns the
// descriptor (owned by the caller), -1 when no socket could be created, -2
// when the connect failed (the socket is closed; also for a null path or one
// too long for a socket address). errno tells the reason on failure.
int OpenDevice(const char* path);

// Waits until fd is ready for mask (POLLIN or POLLOUT) for at most timeoutMs
// milliseconds; EINTR restarts the wait with the time left (counted in whole
// seconds). Returns mask, or a FdReadyResult: -3 negative fd, -4 timeoutMs 0,
// -15 timeout, -6 hang-up or poll failure, -9 error condition on fd or a
// returned event set lacking a requested bit. An error condition consumes one
// byte from fd to learn its error.
int IsFdReady(int fd, unsigned mask, unsigned timeoutMs);

// Opens a request channel: up to 20 connects to path 50 ms apart, then the
// init handshake with channel type kChannelTypeRequest under clientName.
// Returns the descriptor, the negative OpenDevice result when no connect
// succeeded, or -1 when the handshake failed (the descriptor is closed).
int JsonAttach(const char* path, const char* clientName);

// Closes a request channel; a negative fd is ignored. path is for symmetry
// with JsonAttach.
void JsonDetach(int fd, const char* path);

// One exchange on a request channel: sends request as one frame, then reads
// one reply frame into reply (the text up to the payload's first NUL). The
// readiness limit is timeoutSec seconds, 0 meaning 30000 seconds. Returns a
// JsonRequestResult; reply is set only on kJsonReplyReceived. A negative fd
// gives kJsonNoChannel without touching any socket. A request longer than
// kMaxFramePayload gives kJsonNoMemory.
//
// Partial transfers are retried up to 10 times one second apart. A stalled
// peer is not waited for forever: a read that finds no data within the limit
// counts as failed.
// writable: the caller has just seen the socket ready for writing, which
// stands for the first readiness poll of the send.
int JsonSendRequest(int fd, const char* request, std::string& reply, unsigned timeoutSec,
                    bool writable = false);

// The channel init handshake on fd: sends {"OC":65440,"OE":channelType,
// "CA":0,"DA":{"RAW":[init block]}} and reads the daemon's reply block.
// Returns false only when no buffer could be had (JsonSendRequest 17); every
// other outcome counts as initialised.
bool SendInitChannelCommand(int fd, const char* clientName, unsigned channelType);

// Opens the event channel at systemPath(kRqbdEventSocket): up to
// connectAttempts connects one second apart, then the init handshake with
// channel type kChannelTypeEvent. Returns the descriptor or -1.
constexpr int kEventConnectAttempts = 600;
int JsonRegisterForEvents(const char* clientName, int connectAttempts = kEventConnectAttempts);

// Close the event channel; a negative fd is only traced.
void JsonUnregisterForEvents(int fd);
void CloseEventChannel(int fd);

// Closes fd (when >= 0), waits one second and registers again. Returns the
// new descriptor or -1.
int ReOpenEventChannel(const char* clientName, int fd);

// What JsonGetEvent returns when a broken frame made it close the channel
// and no new one could be opened: unlike -1, fd is closed already and its
// number may belong to another socket by now, so the caller must not close
// it again.
constexpr int kEventChannelClosed = -2;

// Reads one event frame from the event channel fd into event, which the
// caller has put into its skeleton state. Returns
//   fd        an event was read and loaded (it may hold no command when the
//             text was rejected), or no buffer could be had (nothing loaded);
//   -1        the channel is lost (negative fd, end of file or failure while
//             reading the length, end of file on the first payload read); fd
//             is still open and the caller's to close;
//   kEventChannelClosed
//             a broken frame made the channel re-open, and that failed; fd
//             is closed;
//   other fd  a broken frame made the channel re-open; no event. fd is then
//             closed and the new descriptor belongs to the caller.
// Reads of the length word continue until all 4 bytes are in or a read
// fails. Blocks while waiting for the first byte.
int JsonGetEvent(SipJson& event, int fd, const char* clientName);
