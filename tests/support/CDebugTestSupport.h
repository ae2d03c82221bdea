// Scratch directories and environment for trace facility tests.
//
// Each TraceSandbox makes its own temporary root, points QMS_TEST_ROOT at it,
// clears every variable the facility reads and puts all of them back when it
// goes, so tests neither see the machine's files nor each other's settings.
#pragma once

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace cdebugtest {

// The application name the tests trace under, and the files it gives.
inline const char kApp[] = "QMS_Test";
inline const char kRingName[] = "log.qms_test_a";
inline const char kLogName[] = "log.qms_test";

class TraceSandbox {
public:
    TraceSandbox() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/cdebug-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) {
            root_ = buffer.data();
        }
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
            unsetenv(name);
        }
        setenv("QMS_TEST_ROOT", root_.c_str(), 1);
        std::filesystem::create_directories(traceDir());
        setenv("QM_LOG_RINGBUF_DIR", traceDir().c_str(), 1);
    }

    ~TraceSandbox() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        std::error_code ignored;
        if (!root_.empty()) {
            std::filesystem::remove_all(root_, ignored);
        }
    }

    TraceSandbox(const TraceSandbox&) = delete;
    TraceSandbox& operator=(const TraceSandbox&) = delete;

    const std::string& root() const { return root_; }
    std::string traceDir() const { return root_ + "/trace"; }
    std::string configDir() const { return root_ + "/etc/norvane/QuarnetSuite/TraceConfig"; }
    std::string ringPath() const { return traceDir() + "/" + kRingName; }
    std::string logPath() const { return traceDir() + "/" + kLogName; }

    static void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
    static void unset(const char* name) { unsetenv(name); }

    // A 1 MiB ring (factor 1, weight 1) at the given level.
    static void ringOf1MiB(int level) {
        set("QM_LOG_DEBUG_LEVEL", std::to_string(level));
        set("TraceFileLimit", "1");
        set("QM_LOG_RINGBUF_WEIGHT", "1");
    }

    // Writes a file into the configuration directory, making it if needed;
    // the modification time is pushed `ageSeconds` into the future so that a
    // rewrite within the same clock tick still counts as newer.
    void writeConfig(const std::string& name, const std::string& text, int ageSeconds = 0) const {
        std::filesystem::create_directories(configDir());
        writeFile(configDir() + "/" + name, text);
        if (ageSeconds != 0) {
            const std::string path = configDir() + "/" + name;
            timeval times[2];
            gettimeofday(&times[0], nullptr);
            times[0].tv_sec += ageSeconds;
            times[1] = times[0];
            utimes(path.c_str(), times);
        }
    }

    static void writeFile(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string ring() const { return readFile(ringPath()); }
    std::string log() const { return readFile(logPath()); }

private:
    static constexpr const char* kVariables[] = {
        "QMS_TEST_ROOT",         "QM_LOG_DEBUG_LEVEL",   "QM_LOG_DYNAMIC_UPDATE",   "QM_LOG_RINGBUF_DIR",
        "QM_LOG_FILE_DIR",       "TraceFileLimit",       "QM_LOG_RINGBUF_WEIGHT",   "QM_LOG_RINGBUF_WEIGHT_QMS_TEST",
        "QM_LOG_FILE_MAX_SIZE",  "QM_LOG_NOHDR_TOSDTERR",
    };
    std::string root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Occurrences of `needle` in `text`.
inline size_t countOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace cdebugtest
