// Settings of the trace facility: the ini file reader and the configuration
// that CDebug is built on.
//
// Settings come from ini files in the configuration directory and from QM_
// environment variables; a variable that is set wins over the ini key.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <string>

// One trace configuration file, read whole into memory.
//
// A file is used only when its last section header names EndOfFile. A section
// is the text from the closing bracket of its header to the next opening
// bracket; a key is found by searching that text for the key name (first
// occurrence, anywhere) and then the first "=" after it. The value starts
// after leading blanks and runs to the end of the line.
class CDebugTraceConfigFile {
public:
    enum class State { Unchanged, Modified, Vanished };

    // Longest value kept (characters), and the longest for a directory.
    static constexpr size_t kMaxValue = 64;
    static constexpr size_t kMaxDirectoryValue = 256;
    // Larger files are not trace configuration; they are ignored rather than
    // read into the memory of the process that loads us.
    static constexpr off_t kMaxFileSize = 1 << 20;

    // Reads the file. Returns false and leaves the reader empty when the file
    // cannot be read, is not a regular file, is larger than kMaxFileSize or
    // lacks the final EndOfFile section header.
    bool Load(const std::string& path);
    // Makes the section whose name equals `name` without regard to case the
    // one that the Get operations search. Returns false when there is none.
    bool SelectSection(const char* name);
    // Copies the key's value into out, cut to cap - 1 characters and always
    // NUL-terminated (cap must be at least 1). False when the key is absent.
    bool GetString(const char* key, char* out, size_t cap) const;
    // The key's value (cut to kMaxValue characters) read with strtoul base 0,
    // so 0x and leading-0 forms work. False when the key is absent.
    bool GetNumber(const char* key, long& value) const;
    // Compares the file on disk with the text loaded: Modified when its
    // modification time is newer or its size differs.
    State Check() const;
    void Clear();

    bool IsLoaded() const { return !m_Path.empty(); }
    bool HasSection() const { return m_HasSection; }
    const std::string& Path() const { return m_Path; }
    const std::string& SectionName() const { return m_SectionName; }

private:
    // Start of the key's value inside the selected section, and its length
    // up to the end of the line; nullptr when absent.
    const char* FindValue(const char* key, size_t& length) const;

    std::string m_Path;
    std::string m_Text;
    std::string m_SectionName;
    size_t m_SectionBegin = 0;
    size_t m_SectionEnd = 0;
    bool m_HasSection = false;
    off_t m_Size = 0;
    timespec m_MTime{};
};

// The settings of one trace object, with the two readers they came from.
class CDebugTraceConfig {
public:
    // Environment variables and configuration names shown in the log header.
    static constexpr size_t kEnvironmentCount = 40;
    static constexpr size_t kConfigurationCount = 13;
    static const char* const kEnvironmentList[kEnvironmentCount];
    static const char* const kConfigurationList[kConfigurationCount];

    static constexpr long kDefaultLogMaxSize = 51200;
    CDebugTraceConfig(const CDebugTraceConfig&) = delete;
    CDebugTraceConfig& operator=(const CDebugTraceConfig&) = delete;

protected:
    // Values as found in the ini files; -1 where a key was absent (0 for
    // DynamicUpdate), as the log header shows them.
    struct IniValues {
        long dynamicUpdate = 0;
        long level = -1;
        long factor = -1;
        long weight = -1;
        long noHeader = -1;
        long memoryTraces = -1;
        long traceFlags = -1;
        char ringDirectory[CDebugTraceConfigFile::kMaxDirectoryValue + 1] = {};
    };

    CDebugTraceConfig() = default;
    ~CDebugTraceConfig() = default;

    // Forgets everything read before: settings back to their defaults.
    void ResetConfiguration();
    // Copies the environment lists and the application weight variable.
    void ReadEnvironmentLists(const std::string& appName);
    // Fills the settings from the configuration directory and the
    // environment. When the directory exists but holds no ".ini" file nothing
    // is read at all (m_ConfigStopped): defaults, level 0, memory column off.
    void ReadConfiguration(const std::string& appName);
    // Looks at both files again (the dynamic update). Returns true when the
    // application file was read again, so that m_FileLevel is fresh.
    bool RefreshFromFiles();
    // Factor (at most 2) x weight x page size (4096 when unknown) x 256 into
    // size; 0 when the factor or the weight is not positive. False when the
    // product does not fit a size_t: no machine can map such a ring.
    bool RingSize(long pageSize, size_t& size) const;
    // The page size RingSize takes for pageSize.
    static size_t RingPageSize(long pageSize) { return pageSize > 0 ? static_cast<size_t>(pageSize) : 4096; }

    IniValues m_Ini;
    bool m_ConfigStopped = false;
    long m_DynamicUpdate = 0;
    // FileDebugLevel as found in the files (0 when absent), and the level that
    // the environment and the files together ask for.
    unsigned m_FileLevel = 0;
    unsigned m_ConfiguredLevel = 0;
    long m_Factor = 0;
    long m_Weight = 0;
    std::string m_RingDirectory;
    long m_LogMaxSize = kDefaultLogMaxSize;
    long m_NoHeader = 1;
    bool m_MemoryColumn = true;
    unsigned long m_TraceFlags = 0;

    // "QM_LOG_RINGBUF_WEIGHT_<APP>" and the values of the lists ("NotSet"
    // where a variable is not set), taken at initialisation.
    std::string m_WeightVariable;
    std::string m_WeightVariableValue;
    std::string m_EnvironmentValues[kEnvironmentCount];
    std::string m_ConfigurationValues[kConfigurationCount];

    CDebugTraceConfigFile m_GlobalFile;
    CDebugTraceConfigFile m_AppFile;

private:
    void ReadAppKeys();
};
