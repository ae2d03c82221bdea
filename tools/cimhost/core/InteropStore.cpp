// Why a journal: rewriting the whole store on every change made each change
// cost as much as everything stored. A record is written with one write() so
// that a killed process leaves at most the last record short, which the
// reader recognises (the length runs past the end, or the CRC of the very
// last record fails) and drops; that change was never acknowledged. Damage
// anywhere else is reported, never guessed around.
#include "core/InteropStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "core/JsonValueWriter.h"

namespace cimhost {
namespace {

// Embedded instances and references in a store are never this deep; a
// hostile file must not recurse the decoder off the stack.
const int kMaxStoreDepth = 32;
// No record of a bounded namespace comes near this; a larger length is
// damage, not a record cut short.
const uint32_t kMaxRecordBytes = 16u << 20;
const size_t kRecordHeader = 8;
// The journal is compacted when it exceeds this plus a few snapshots.
const uint64_t kJournalSlack = 256u << 10;
const uint64_t kJournalPerSnapshot = 4;
const char kTempInfix[] = ".tmp.";

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string errnoText(int err) { return strerror(err); }

// ---- Store encoding ----------------------------------------------------------

typedef rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                          rapidjson::CrtAllocator, rapidjson::kWriteNanAndInfFlag>
    StoreWriter;

void writePath(StoreWriter& w, const ObjectPath& path);
void writeInstance(StoreWriter& w, const Instance& inst);

class StoreValue : public JsonValueWriter<StoreValue, StoreWriter> {
public:
    explicit StoreValue(StoreWriter& w) : JsonValueWriter(w) {}

    void real(double x) { json().Double(x); }
    void text(const std::string& s) { json().String(s.c_str(), static_cast<rapidjson::SizeType>(s.size())); }
    void reference(const ObjectPath& path) { writePath(json(), path); }
    void instance(const Instance& inst) { writeInstance(json(), inst); }
    void other(const Value& v) { text(v.asText()); }
};

void writeValue(StoreWriter& w, const Value& v) {
    StoreValue writer(w);
    visitValue(v, writer);
}

void writeNamed(StoreWriter& w, const NamedValues& values) {
    w.StartArray();
    for (const auto& nv : values) {
        w.StartObject();
        w.Key("name");
        w.String(nv.first.c_str(), static_cast<rapidjson::SizeType>(nv.first.size()));
        w.Key("type");
        w.Uint(nv.second.type());
        w.Key("value");
        writeValue(w, nv.second);
        w.EndObject();
    }
    w.EndArray();
}

void writePath(StoreWriter& w, const ObjectPath& path) {
    w.StartObject();
    w.Key("namespace");
    w.String(path.nameSpace.c_str(), static_cast<rapidjson::SizeType>(path.nameSpace.size()));
    w.Key("host");
    w.String(path.host.c_str(), static_cast<rapidjson::SizeType>(path.host.size()));
    w.Key("class");
    w.String(path.className.c_str(), static_cast<rapidjson::SizeType>(path.className.size()));
    w.Key("keys");
    writeNamed(w, path.keys);
    w.EndObject();
}

void writeInstance(StoreWriter& w, const Instance& inst) {
    w.StartObject();
    w.Key("path");
    writePath(w, inst.path);
    w.Key("properties");
    writeNamed(w, inst.properties);
    w.EndObject();
}

bool readPath(const rapidjson::Value& j, ObjectPath* out, int depth);
bool readInstance(const rapidjson::Value& j, Instance* out, int depth);

bool readItem(const rapidjson::Value& j, CMPIType type, Value* out, int depth) {
    if (j.IsNull()) {
        *out = Value::null(type);
        return true;
    }
    switch (type) {
        case CMPI_boolean:
            if (!j.IsBool()) return false;
            *out = Value::boolean(j.GetBool());
            return true;
        case CMPI_uint8:
        case CMPI_uint16:
        case CMPI_uint32:
        case CMPI_uint64:
        case CMPI_char16: {
            return j.IsUint64() && Value::unsignedInRange(type, j.GetUint64(), out);
        }
        case CMPI_sint8:
        case CMPI_sint16:
        case CMPI_sint32:
        case CMPI_sint64: {
            return j.IsInt64() && Value::signedInRange(type, j.GetInt64(), out);
        }
        case CMPI_real32:
        case CMPI_real64:
            if (!j.IsNumber()) return false;
            *out = type == CMPI_real32 ? Value::real32(static_cast<float>(j.GetDouble()))
                                       : Value::real64(j.GetDouble());
            return true;
        case CMPI_string:
        case CMPI_dateTime:
            if (!j.IsString()) return false;
            *out = type == CMPI_string ? Value::string(std::string(j.GetString(), j.GetStringLength()))
                                       : Value::datetime(std::string(j.GetString(), j.GetStringLength()));
            return true;
        case CMPI_ref: {
            ObjectPath path;
            if (!readPath(j, &path, depth + 1)) return false;
            *out = Value::reference(std::move(path));
            return true;
        }
        case CMPI_instance: {
            Instance inst;
            if (!readInstance(j, &inst, depth + 1)) return false;
            *out = Value::instance(std::move(inst));
            return true;
        }
        default:
            return false;
    }
}

bool readValue(const rapidjson::Value& j, CMPIType type, Value* out, int depth) {
    if (depth > kMaxStoreDepth) return false;
    if (!(type & CMPI_ARRAY) || j.IsNull()) {
        if (type == CMPI_null) {
            if (!j.IsNull()) return false;
            *out = Value();
            return true;
        }
        return readItem(j, static_cast<CMPIType>(type & ~CMPI_ARRAY), out, depth);
    }
    if (!j.IsArray()) return false;
    const CMPIType element = static_cast<CMPIType>(type & ~CMPI_ARRAY);
    std::vector<Value> items;
    for (const auto& item : j.GetArray()) {
        Value v;
        if (!readItem(item, element, &v, depth)) return false;
        items.push_back(std::move(v));
    }
    *out = Value::array(element, std::move(items));
    return true;
}

bool readString(const rapidjson::Value& j, const char* name, std::string* out) {
    const auto it = j.FindMember(name);
    if (it == j.MemberEnd() || !it->value.IsString()) return false;
    out->assign(it->value.GetString(), it->value.GetStringLength());
    return true;
}

bool readNamed(const rapidjson::Value& j, NamedValues* out, int depth) {
    if (!j.IsArray()) return false;
    for (const auto& entry : j.GetArray()) {
        if (!entry.IsObject()) return false;
        std::string name;
        const auto type = entry.FindMember("type");
        const auto value = entry.FindMember("value");
        if (!readString(entry, "name", &name) || type == entry.MemberEnd() || !type->value.IsUint() ||
            type->value.GetUint() > 0xffff || value == entry.MemberEnd())
            return false;
        Value v;
        if (!readValue(value->value, static_cast<CMPIType>(type->value.GetUint()), &v, depth)) return false;
        out->set(name, std::move(v));
    }
    return true;
}

bool readPath(const rapidjson::Value& j, ObjectPath* out, int depth) {
    if (depth > kMaxStoreDepth || !j.IsObject()) return false;
    const auto keys = j.FindMember("keys");
    return readString(j, "namespace", &out->nameSpace) && readString(j, "host", &out->host) &&
           readString(j, "class", &out->className) && keys != j.MemberEnd() &&
           readNamed(keys->value, &out->keys, depth);
}

bool readInstance(const rapidjson::Value& j, Instance* out, int depth) {
    if (depth > kMaxStoreDepth || !j.IsObject()) return false;
    const auto path = j.FindMember("path");
    const auto props = j.FindMember("properties");
    return path != j.MemberEnd() && props != j.MemberEnd() && readPath(path->value, &out->path, depth + 1) &&
           readNamed(props->value, &out->properties, depth);
}

typedef rapidjson::Document::AllocatorType Allocator;

std::string encodeInstance(const Instance& inst, const char* op) {
    rapidjson::StringBuffer buffer;
    StoreWriter w(buffer);
    w.StartObject();
    w.Key("op");
    w.String(op);
    w.Key(std::strcmp(op, "put") == 0 ? "instance" : "path");
    if (std::strcmp(op, "put") == 0)
        writeInstance(w, inst);
    else
        writePath(w, inst.path);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool parse(const std::string& text, rapidjson::Document* doc, std::string* why) {
    doc->Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag>(text.c_str(), text.size());
    if (!doc->HasParseError()) return true;
    *why = std::string(rapidjson::GetParseError_En(doc->GetParseError())) + " at offset " +
           std::to_string(doc->GetErrorOffset());
    return false;
}

// The whole file; false with errno set when it cannot be read (ENOENT: absent).
uint32_t crcOf(const char* data, size_t size) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

uint32_t readLe32(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 |
           static_cast<uint32_t>(u[2]) << 16 | static_cast<uint32_t>(u[3]) << 24;
}

void writeLe32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

bool writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

// So that a rename or a new file survives a power cut.
void syncDirectory(const std::string& file) {
    const int fd = ::open(directoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Instances by class and keys, in the order they were first put.
class Replay {
public:
    void put(std::shared_ptr<Instance> inst) {
        const std::string id = idOf(inst->path);
        auto it = byId_.find(id);
        if (it != byId_.end()) {
            order_[it->second] = std::move(inst);
            return;
        }
        byId_.emplace(id, next_);
        order_.emplace(next_++, std::move(inst));
    }
    void remove(const ObjectPath& path) {
        auto it = byId_.find(idOf(path));
        if (it == byId_.end()) return;
        order_.erase(it->second);
        byId_.erase(it);
    }
    std::vector<std::shared_ptr<Instance>> take() {
        std::vector<std::shared_ptr<Instance>> out;
        out.reserve(order_.size());
        for (auto& entry : order_) out.push_back(std::move(entry.second));
        return out;
    }

private:
    static std::string idOf(const ObjectPath& path) {
        return lower(path.className) + '\n' + normalisedKeys(path.keys);
    }
    std::map<std::string, uint64_t> byId_;
    std::map<uint64_t, std::shared_ptr<Instance>> order_;
    uint64_t next_ = 0;
};

}  // namespace

std::string normalisedKeys(const NamedValues& keys) {
    std::vector<std::pair<std::string, const Value*>> sorted;
    sorted.reserve(keys.size());
    for (const auto& key : keys) sorted.emplace_back(lower(key.first), &key.second);
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out;
    for (const auto& key : sorted) {
        const Value& v = *key.second;
        out += key.first;
        out += '=';
        out += std::to_string(v.type());
        if (v.isNull()) {
            out += 'N';
        } else if (v.type() == CMPI_ref) {
            // Brackets nest, so the text cannot be confused with a sibling key.
            out += '{' + normalisedKeys(v.asReference()->keys) + '}';
        } else if (v.type() == CMPI_string) {
            out += ':' + std::to_string(v.asText().size()) + ':' + v.asText();
        } else {
            const std::string text = v.toText();
            out += ':' + std::to_string(text.size()) + ':' + text;
        }
        out += ';';
    }
    return out;
}

InteropStore::InteropStore(std::string file, Options options) : file_(std::move(file)), options_(options) {}

InteropStore::~InteropStore() {
    if (journal_ >= 0) close(journal_);
}

Status InteropStore::open(std::vector<std::shared_ptr<Instance>>* out) {
    out->clear();
    removeInterruptedWrites(file_);

    Replay replay;
    std::string text;
    if (!readFileWhole(file_, &text)) {
        if (errno != ENOENT) return damage(file_, "cannot read it: " + errnoText(errno));
    } else {
        snapshotBytes_ = text.size();
        rapidjson::Document doc;
        std::string why;
        if (!parse(text, &doc, &why)) return damage(file_, why);
        if (!doc.IsObject() || !doc.HasMember("instances") || !doc["instances"].IsArray())
            return damage(file_, "no instance list");
        size_t index = 0;
        for (const auto& entry : doc["instances"].GetArray()) {
            auto inst = std::make_shared<Instance>();
            if (!readInstance(entry, inst.get(), 0))
                return damage(file_, "instance " + std::to_string(index) + " is malformed");
            replay.put(std::move(inst));
            ++index;
        }
    }

    const std::string journal = journalFile();
    std::string records;
    if (!readFileWhole(journal, &records)) {
        if (errno != ENOENT) return damage(journal, "cannot read it: " + errnoText(errno));
    }
    size_t at = 0;
    while (at < records.size()) {
        const size_t left = records.size() - at;
        if (left < kRecordHeader) break;  // a header cut short: the tail of a killed write
        const uint32_t length = readLe32(records.data() + at);
        const uint32_t crc = readLe32(records.data() + at + 4);
        if (length > kMaxRecordBytes)
            return damage(journal, "record at offset " + std::to_string(at) + " claims " +
                                       std::to_string(length) + " bytes");
        if (length > left - kRecordHeader) break;
        const char* payload = records.data() + at + kRecordHeader;
        const bool last = at + kRecordHeader + length == records.size();
        if (crcOf(payload, length) != crc) {
            if (last) break;
            return damage(journal, "record at offset " + std::to_string(at) + " fails its checksum");
        }
        rapidjson::Document doc;
        std::string why;
        const std::string where = "record at offset " + std::to_string(at);
        if (!parse(std::string(payload, length), &doc, &why)) return damage(journal, where + ": " + why);
        const auto op = doc.IsObject() ? doc.FindMember("op") : rapidjson::Value::ConstMemberIterator();
        const std::string opText = doc.IsObject() && op != doc.MemberEnd() && op->value.IsString()
                                       ? op->value.GetString()
                                       : std::string();
        if (opText == "put" && doc.HasMember("instance")) {
            auto inst = std::make_shared<Instance>();
            if (!readInstance(doc["instance"], inst.get(), 0))
                return damage(journal, where + ": malformed instance");
            replay.put(std::move(inst));
        } else if (opText == "delete" && doc.HasMember("path")) {
            ObjectPath path;
            if (!readPath(doc["path"], &path, 0)) return damage(journal, where + ": malformed path");
            replay.remove(path);
        } else {
            return damage(journal, where + ": neither a put nor a delete");
        }
        at += kRecordHeader + length;
    }
    if (at < records.size()) {
        // Later appends must follow the last whole record, not the torn one.
        if (truncate(journal.c_str(), static_cast<off_t>(at)) != 0)
            return Status::error(CMPI_RC_ERR_FAILED, "cannot cut the interrupted last record off " + journal +
                                                         ": " + errnoText(errno));
    }
    journalBytes_ = at;
    *out = replay.take();
    return Status();
}

Status InteropStore::damage(const std::string& file, const std::string& why) {
    if (!options_.startFresh)
        return Status::error(CMPI_RC_ERR_FAILED, "the interop store " + file + " is damaged: " + why +
                                                     " (move it away, or start fresh to keep it aside and "
                                                     "begin empty: cimhost watch --fresh-store)");
    const std::string journal = journalFile();
    unsigned n = 1;
    while (exists(file_ + ".damaged." + std::to_string(n)) ||
           exists(journal + ".damaged." + std::to_string(n)))
        ++n;
    const std::string suffix = ".damaged." + std::to_string(n);
    std::string kept;
    for (const std::string& f : {file_, journal}) {
        if (!exists(f)) continue;
        if (rename(f.c_str(), (f + suffix).c_str()) != 0)
            return Status::error(CMPI_RC_ERR_FAILED, "the interop store " + file + " is damaged (" + why +
                                                         ") and cannot be moved aside: " + errnoText(errno));
        kept += (kept.empty() ? "" : " and ") + f + suffix;
    }
    syncDirectory(file_);
    if (journal_ >= 0) close(journal_);
    journal_ = -1;
    journalBytes_ = snapshotBytes_ = 0;
    Status note;
    note.message =
        "the interop store " + file + " was damaged (" + why + "); kept as " + kept + ", started empty";
    return note;
}

Status InteropStore::openJournal() {
    if (journal_ >= 0) return Status();
    const std::string journal = journalFile();
    const bool existed = exists(journal);
    journal_ = ::open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (journal_ < 0)
        return Status::error(CMPI_RC_ERR_FAILED, "cannot open " + journal + ": " + errnoText(errno));
    if (!existed && options_.sync) syncDirectory(journal);
    return Status();
}

Status InteropStore::append(const std::string& payload) {
    Status st = openJournal();
    if (!st.ok()) return st;
    std::string record(kRecordHeader, '\0');
    writeLe32(&record[0], static_cast<uint32_t>(payload.size()));
    writeLe32(&record[4], crcOf(payload.data(), payload.size()));
    record += payload;
    if (payload.size() > kMaxRecordBytes)
        return Status::error(CMPI_RC_ERR_FAILED, "a record is too large to store");
    int err = 0;
    if (!writeAll(journal_, record.data(), record.size())) err = errno;
    if (!err && options_.sync && fdatasync(journal_) != 0) err = errno;
    if (err) {
        // A partial record followed by later whole ones would read as damage.
        if (ftruncate(journal_, static_cast<off_t>(journalBytes_)) != 0) {
            close(journal_);
            journal_ = -1;
        }
        return Status::error(CMPI_RC_ERR_FAILED, "cannot write " + journalFile() + ": " + errnoText(err));
    }
    journalBytes_ += record.size();
    return Status();
}

Status InteropStore::put(const Instance& instance) { return append(encodeInstance(instance, "put")); }

Status InteropStore::remove(const ObjectPath& path) {
    Instance only;
    only.path = path;
    return append(encodeInstance(only, "delete"));
}

bool InteropStore::compactionDue() const {
    return journalBytes_ > kJournalSlack + kJournalPerSnapshot * snapshotBytes_;
}

Status InteropStore::compact(const std::vector<std::shared_ptr<const Instance>>& live) {
    rapidjson::StringBuffer buffer;
    StoreWriter w(buffer);
    w.StartObject();
    w.Key("version");
    w.Uint(1);
    w.Key("instances");
    w.StartArray();
    for (const auto& inst : live) writeInstance(w, *inst);
    w.EndArray();
    w.EndObject();

    const Status written =
        replaceFileWhole(file_, std::string(buffer.GetString(), buffer.GetSize()), options_.sync);
    if (!written.ok()) return written;
    snapshotBytes_ = buffer.GetSize();
    Status st = openJournal();
    if (!st.ok()) return st;
    if (ftruncate(journal_, 0) != 0)
        return Status::error(CMPI_RC_ERR_FAILED, "cannot empty " + journalFile() + ": " + errnoText(errno));
    if (options_.sync) fdatasync(journal_);
    journalBytes_ = 0;
    return Status();
}

Status replaceFileWhole(const std::string& file, const std::string& content, bool sync) {
    std::string temp = file + kTempInfix + "XXXXXX";
    const int fd = mkstemp(&temp[0]);
    if (fd < 0) return Status::error(CMPI_RC_ERR_FAILED, "cannot write " + file + ": " + errnoText(errno));
    int err = 0;
    if (!writeAll(fd, content.data(), content.size())) err = errno;
    if (!err && sync && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (!err && rename(temp.c_str(), file.c_str()) != 0) err = errno;
    if (err) {
        unlink(temp.c_str());
        return Status::error(CMPI_RC_ERR_FAILED, "cannot write " + file + ": " + errnoText(err));
    }
    if (sync) syncDirectory(file);
    return Status();
}

void removeInterruptedWrites(const std::string& file) {
    // Only our own infix is matched: an administrator's copies beside the
    // file stay.
    const std::string dir = directoryOf(file);
    const size_t slash = file.rfind('/');
    const std::string prefix = file.substr(slash == std::string::npos ? 0 : slash + 1) + kTempInfix;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
                unlink((dir + "/" + name).c_str());
        }
        closedir(d);
    }
}

bool readFileWhole(const std::string& path, std::string* out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        if (n == 0) break;
        out->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

}  // namespace cimhost
