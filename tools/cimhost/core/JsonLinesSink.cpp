// Deliveries as JSON lines: a log that tests and people read alike, one
// complete object per line even when several threads deliver at once.
#include <fcntl.h>
#include <rapidjson/encodings.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <system_error>

#include "core/JsonValueWriter.h"
#include "core/Sinks.h"

namespace cimhost {
namespace {

typedef rapidjson::Writer<rapidjson::StringBuffer> LineWriter;

// Provider strings are bytes; a line must stay JSON, so what is not UTF-8
// becomes U+FFFD byte by byte.
void writeText(LineWriter& w, const std::string& text) {
    std::string clean;
    clean.reserve(text.size());
    rapidjson::StringStream in(text.c_str());
    rapidjson::StringBuffer buffer;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '\0') {
            // Embedded NULs are written escaped; the stream would stop at them.
            clean += '\0';
            ++pos;
            continue;
        }
        in = rapidjson::StringStream(text.c_str() + pos);
        buffer.Clear();
        if (rapidjson::UTF8<>::Validate(in, buffer)) {
            clean.append(buffer.GetString(), buffer.GetSize());
            pos += buffer.GetSize();
        } else {
            clean += "\xEF\xBF\xBD";
            ++pos;
        }
    }
    w.String(clean.c_str(), static_cast<rapidjson::SizeType>(clean.size()));
}

void writeInstance(LineWriter& w, const Instance& inst);

class LineValue : public JsonValueWriter<LineValue, LineWriter> {
public:
    explicit LineValue(LineWriter& w) : JsonValueWriter(w) {}

    void real(double x) {
        // JSON has no NaN or infinity.
        if (std::isfinite(x))
            json().Double(x);
        else
            json().Null();
    }
    void text(const std::string& s) { writeText(json(), s); }
    void reference(const ObjectPath& path) { writeText(json(), path.toText()); }
    void instance(const Instance& inst) { writeInstance(json(), inst); }
    void other(const Value&) { json().Null(); }
};

void writeValue(LineWriter& w, const Value& v) {
    LineValue writer(w);
    visitValue(v, writer);
}

void writeInstance(LineWriter& w, const Instance& inst) {
    w.StartObject();
    w.Key("class");
    writeText(w, inst.className());
    w.Key("namespace");
    writeText(w, inst.path.nameSpace);
    w.Key("properties");
    w.StartObject();
    for (const auto& p : inst.properties) {
        writeText(w, p.first);
        writeValue(w, p.second);
    }
    w.EndObject();
    w.EndObject();
}

}  // namespace

JsonLinesSink::JsonLinesSink(std::string path) : path_(std::move(path)) {}

std::string JsonLinesSink::line(const Instance& destination, const ObjectPath& subscription,
                                const Instance& indication) {
    rapidjson::StringBuffer buffer;
    LineWriter w(buffer);
    w.StartObject();
    w.Key("destination");
    const Value* url = destination.property("Destination");
    if (url && !url->isNull() && !url->isArray())
        writeValue(w, *url);
    else
        w.Null();
    w.Key("subscription");
    writeText(w, subscription.toText());
    w.Key("indication");
    writeInstance(w, indication);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

void JsonLinesSink::deliver(const Instance& destination, const ObjectPath& subscription,
                            const Instance& indication) {
    const std::string text = line(destination, subscription, indication) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    // Opened per delivery so that a rotated or removed log is simply made
    // anew; O_APPEND keeps lines whole against other writers of the file.
    const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path_);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            close(fd);
            throw std::system_error(err, std::generic_category(), "write " + path_);
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) throw std::system_error(errno, std::generic_category(), "close " + path_);
}

}  // namespace cimhost
