// `cimhost listen`: the listener of tools/cimhost/listener with a console
// (or file) behind it. Handler threads of the HTTP server write lines under
// one lock, so that lines never interleave and the sequence check sees the
// indications in the order they were answered.
#include "Listen.h"

#include <pthread.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "StopSignals.h"
#include "listener/IndicationLine.h"
#include "listener/Listener.h"
#include "listener/SequenceCheck.h"

namespace cimhost {
namespace {

typedef rapidjson::Writer<rapidjson::StringBuffer> JsonWriter;

// A CIM-XML value is text whatever its type; numbers and booleans are
// written as JSON's own when their text reads as one, anything else stays
// text so that nothing the sender wrote is lost.
void writeItem(JsonWriter& w, const std::string& type, const std::string& text) {
    if (type == "boolean" && (text == "TRUE" || text == "true" || text == "FALSE" || text == "false")) {
        w.Bool(text[0] == 'T' || text[0] == 't');
        return;
    }
    const bool isUnsigned = type.rfind("uint", 0) == 0, isSigned = type.rfind("sint", 0) == 0;
    if ((isUnsigned || isSigned) && !text.empty()) {
        errno = 0;
        char* end = nullptr;
        if (isUnsigned && text[0] != '-') {
            const unsigned long long u = std::strtoull(text.c_str(), &end, 10);
            if (!errno && !*end) {
                w.Uint64(u);
                return;
            }
        } else if (isSigned) {
            const long long s = std::strtoll(text.c_str(), &end, 10);
            if (!errno && !*end) {
                w.Int64(s);
                return;
            }
        }
    }
    w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
}

std::string jsonLine(const std::string& received, const listener::Delivery& d) {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("received");
    w.String(received.c_str());
    w.Key("from");
    w.String(d.peer.c_str());
    w.Key("target");
    w.String(d.target.c_str(), static_cast<rapidjson::SizeType>(d.target.size()));
    w.Key("indication");
    w.StartObject();
    w.Key("class");
    w.String(d.indication.className.c_str());
    w.Key("properties");
    w.StartObject();
    for (const auto& p : d.indication.properties) {
        w.Key(p.first.c_str());
        const listener::Property& v = p.second;
        if (v.null) {
            w.Null();
        } else if (!v.array) {
            writeItem(w, v.type, v.text);
        } else {
            w.StartArray();
            for (const auto& item : v.items) {
                if (item)
                    writeItem(w, v.type, *item);
                else
                    w.Null();
            }
            w.EndArray();
        }
    }
    w.EndObject();
    w.EndObject();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const time_t secs = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    tm t;
    gmtime_r(&secs, &t);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms);
    return text;
}

class Console {
public:
    Console(FILE* out, bool json) : out_(out), json_(json) {}

    // False when the line could not be written: the sender is told so and
    // delivers again, instead of the indication being lost here.
    bool take(listener::Delivery&& d) {
        const std::string text = json_ ? jsonLine(utcNow(), d) : listener::indicationLine(d.indication);
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_) return false;
        const std::string report = sequence_.check(d.indication);
        if (std::fprintf(out_, "%s\n", text.c_str()) < 0 || std::fflush(out_) != 0) {
            failed_ = errno ? errno : EIO;
            return false;
        }
        if (!report.empty()) std::fprintf(stderr, "cimhost listen: %s\n", report.c_str());
        ++received_;
        return true;
    }

    void refused(const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++refused_;
        std::fprintf(stderr, "cimhost listen: refused: %s\n", why.c_str());
    }

    int failed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }

    void summary() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(stderr, "cimhost listen: %llu indication(s) received, %zu request(s) refused",
                     static_cast<unsigned long long>(received_), refused_);
        if (sequence_.missing() || sequence_.repeated() || sequence_.late())
            std::fprintf(stderr, "; by sequence number %llu missing, %llu repeated, %llu late",
                         static_cast<unsigned long long>(sequence_.missing()),
                         static_cast<unsigned long long>(sequence_.repeated()),
                         static_cast<unsigned long long>(sequence_.late()));
        std::fprintf(stderr, "\n");
    }

private:
    FILE* const out_;
    const bool json_;
    mutable std::mutex mutex_;
    listener::SequenceCheck sequence_;
    uint64_t received_ = 0;
    size_t refused_ = 0;
    int failed_ = 0;
};

}  // namespace

int listen(const ListenOptions& options) {
    const sigset_t stop = blockStopSignals();

    FILE* out = stdout;
    if (!options.outFile.empty()) {
        out = std::fopen(options.outFile.c_str(), "ae");
        if (!out) {
            std::fprintf(stderr, "cimhost listen: cannot open %s: %s\n", options.outFile.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    Console console(out, options.json);
    int exitCode = 0;
    try {
        listener::Listener::Options serve;
        serve.bind = options.bind;
        serve.port = options.port;
        serve.handler = [&console](listener::Delivery&& d) { return console.take(std::move(d)); };
        serve.onRefusal = [&console](const std::string& why) { console.refused(why); };
        auto server = std::make_unique<listener::Listener>(serve);
        std::fprintf(stderr, "cimhost listen: listening on %s (CIM-XML export requests), stop with Ctrl-C\n",
                     server->url().c_str());
        for (;;) {
            // A short tick, so that an output failure stops the listener soon.
            const timespec tick{0, 200 * 1000 * 1000};
            const int sig = sigtimedwait(&stop, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) break;
            if (const int err = console.failed()) {
                std::fprintf(stderr, "cimhost listen: cannot write %s: %s; stopping\n",
                             options.outFile.empty() ? "to stdout" : options.outFile.c_str(),
                             std::strerror(err));
                exitCode = 1;
                break;
            }
        }
        // Requests in progress are answered before the count is told.
        server.reset();
        console.summary();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cimhost listen: %s\n", e.what());
        exitCode = 1;
    }
    if (out != stdout) std::fclose(out);
    return exitCode;
}

int listenCommand(int argc, char** argv) {
    ListenOptions options;
    for (int i = 0; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--json") {
            options.json = true;
            continue;
        }
        if (i + 1 >= argc) return 2;
        const char* value = argv[++i];
        if (flag == "--bind") {
            options.bind = value;
        } else if (flag == "--out") {
            options.outFile = value;
        } else if (flag == "--port") {
            char* end = nullptr;
            errno = 0;
            const long port = std::strtol(value, &end, 10);
            if (errno || !*value || *end || port < 0 || port > 65535) return 2;
            options.port = static_cast<int>(port);
        } else {
            return 2;
        }
    }
    return listen(options);
}

}  // namespace cimhost
