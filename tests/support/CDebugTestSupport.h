// Scratch directories and environment for trace facility tests: each
// TraceSandbox makes its own temporary root, points QMS_TEST_ROOT and the
// trace directory into it, clears every variable the facility reads and
// restores them all when it goes.
#pragma once

#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "common/Programs.h"

namespace cdebugtest {

inline const char kApp[] = "QMS_Test";  // traces into log.qms_test and log.qms_test_a

class TraceSandbox {
public:
    TraceSandbox() {
        for (const char* name :
             {"QMS_TEST_ROOT", "QM_LOG_DEBUG_LEVEL", "QM_LOG_DYNAMIC_UPDATE", "QM_LOG_RINGBUF_DIR",
              "QM_LOG_FILE_DIR", "TraceFileLimit", "QM_LOG_RINGBUF_WEIGHT", "QM_LOG_RINGBUF_WEIGHT_QMS_TEST",
              "QM_LOG_FILE_MAX_SIZE", "QM_LOG_NOHDR_TOSDTERR"}) {
            const char* value = std::getenv(name);
            saved_[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
            unsetenv(name);
        }
        set("QMS_TEST_ROOT", root());
        std::filesystem::create_directories(traceDir());
        set("QM_LOG_RINGBUF_DIR", traceDir());
    }
    // With the level and ring size of tracing() already set.
    explicit TraceSandbox(int level, int factor = 1, int weight = 1) : TraceSandbox() {
        tracing(level, factor, weight);
    }
    ~TraceSandbox() {
        for (const auto& [name, value] : saved_) {
            value ? (void)setenv(name.c_str(), value->c_str(), 1) : (void)unsetenv(name.c_str());
        }
    }
    TraceSandbox(const TraceSandbox&) = delete;
    TraceSandbox& operator=(const TraceSandbox&) = delete;

    const std::string& root() const { return dir_.path(); }
    std::string traceDir() const { return root() + "/trace"; }
    std::string configDir() const { return root() + "/etc/norvane/QuarnetSuite/TraceConfig"; }
    std::string ringPath() const { return traceDir() + "/log.qms_test_a"; }
    std::string logPath() const { return traceDir() + "/log.qms_test"; }

    static void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
    static void unset(const char* name) { unsetenv(name); }
    // Level and ring size from the environment (weight 1: 1 MiB per factor).
    static void tracing(int level, int factor = 1, int weight = 1) {
        set("QM_LOG_DEBUG_LEVEL", std::to_string(level));
        set("TraceFileLimit", std::to_string(factor));
        set("QM_LOG_RINGBUF_WEIGHT", std::to_string(weight));
    }

    // Writes a file into the configuration directory; a non-zero skew moves
    // its modification time that far into the future, so that a rewrite
    // within the same clock tick still counts as newer.
    void writeConfig(const std::string& name, const std::string& text, int skewSeconds = 0) const {
        std::filesystem::create_directories(configDir());
        const std::string path = configDir() + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        if (skewSeconds != 0) {
            timeval times[2];
            gettimeofday(&times[0], nullptr);
            times[0].tv_sec += skewSeconds;
            times[1] = times[0];
            utimes(path.c_str(), times);
        }
    }

    static std::string read(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }
    std::string ring() const { return read(ringPath()); }
    std::string log() const { return read(logPath()); }

private:
    qmstest::ScratchDir dir_{"cdebug"};
    std::map<std::string, std::optional<std::string>> saved_;
};

inline size_t countOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace cdebugtest
