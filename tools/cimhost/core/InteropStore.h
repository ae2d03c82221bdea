// The interop namespace's instances on disk: a snapshot and a journal of the
// changes since it, so that a change costs one appended record whatever the
// store holds, and the store survives the process being killed at any moment.
//
//   <file>          the snapshot: {"version":1,"instances":[...]} (JSON)
//   <file>.journal  records, each a little-endian uint32 payload length, the
//                   payload's CRC-32 (zlib's), and the payload:
//                   {"op":"put","instance":{...}} or {"op":"delete","path":{...}}
//
// Not thread-safe: the indication service calls it under its change lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Value.h"

namespace cimhost {

// Replaces `file` with `content` as a whole: a temporary file beside it,
// written (and with `sync` flushed to disk), then renamed over it, so that a
// crash leaves the old content or the new, never a part.
Status replaceFileWhole(const std::string& file, const std::string& content, bool sync);

// Removes the temporary files of replaceFileWhole(file, ...) calls that a
// crash interrupted; called before `file` is first read.
void removeInterruptedWrites(const std::string& file);

// Reads all of `path`; false with errno set when it cannot.
bool readFileWhole(const std::string& path, std::string* out);

// Equal for key sets that name the same instance as the interop namespace
// compares them: key names case-insensitively, values exactly, references by
// their own keys (class, namespace and host left out).
std::string normalisedKeys(const NamedValues& keys);

class InteropStore {
public:
    struct Options {
        // fdatasync after each record and fsync of each snapshot, so that a
        // change the client was told about survives a power cut too; a
        // killed process loses nothing either way.
        bool sync = true;
        // A damaged store is moved aside (numbered, every copy kept) and the
        // namespace starts empty, instead of refusing to start.
        bool startFresh = false;
    };

    InteropStore(std::string file, Options options);
    ~InteropStore();
    InteropStore(const InteropStore&) = delete;
    InteropStore& operator=(const InteropStore&) = delete;

    // Removes temporary files of interrupted snapshot writes, reads the
    // snapshot and replays the journal into *out (in the order a client
    // created them). A journal whose last record was cut short by a crash
    // loses that record only (it was never acknowledged). Anything else that
    // cannot be read is damage(): see there.
    Status open(std::vector<std::shared_ptr<Instance>>* out);

    // What the reader found wrong with the store (`why`, e.g. a subscription
    // naming no filter). Without startFresh: CMPI_RC_ERR_FAILED naming the
    // file and why, the files left as they are. With it: the files are
    // renamed to <file>.damaged.N and <file>.journal.damaged.N with the first
    // N free, and the result is OK with a message saying so; the caller
    // starts empty.
    Status damage(const std::string& file, const std::string& why);

    // Appends a record: `instance` created or replaced (matched by class and
    // keys), or the instance at `path` gone. On failure nothing of the
    // record stays in the journal.
    Status put(const Instance& instance);
    Status remove(const ObjectPath& path);

    // True when the journal has grown past a few times the snapshot; the
    // caller then hands compact() every live instance.
    bool compactionDue() const;
    // Writes a new snapshot (temporary file, fsync, rename) and empties the
    // journal. A crash between the two replays the journal over the new
    // snapshot, which changes nothing: each record sets or removes one
    // instance to what the snapshot already holds.
    Status compact(const std::vector<std::shared_ptr<const Instance>>& live);

    const std::string& file() const { return file_; }
    std::string journalFile() const { return file_ + ".journal"; }

private:
    Status append(const std::string& payload);
    Status openJournal();

    std::string file_;
    Options options_;
    int journal_ = -1;
    uint64_t journalBytes_ = 0;
    uint64_t snapshotBytes_ = 0;
};

}  // namespace cimhost
