#include "support/CDebugTraceConfig.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "support/SystemPaths.h"

namespace {

const char kConfigDirectory[] = "/etc/norvane/QuarnetSuite/TraceConfig";
const char kDefaultTraceDirectory[] = "/var/log/norvlog";
const char kGlobalFileName[] = "global_trace.ini";
const char kGlobalSection[] = "GlobalDebugSettings";
const char kEndOfFileSection[] = "EndOfFile";

// Installing the module creates the real trace directory. A test build makes
// its stand-in under the test root, so that every process of a test run (and
// a test build's tools run by hand) has somewhere to trace to.
std::string defaultTraceDirectory() {
    std::string path = provider::systemPath(kDefaultTraceDirectory);
#ifdef QMS_TEST_BUILD
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
#endif
    return path;
}

// A section header: '[' name ']' on one line. Returns false when no further
// header follows `from`; otherwise sets the name and the offset just after ']'.
bool nextHeader(std::string_view text, size_t from, std::string_view& name, size_t& after) {
    for (size_t open = text.find('[', from); open != std::string_view::npos;
         open = text.find('[', open + 1)) {
        const size_t close = text.find_first_of("]\n", open + 1);
        if (close == std::string_view::npos) {
            return false;
        }
        if (text[close] == ']') {
            name = text.substr(open + 1, close - open - 1);
            after = close + 1;
            return true;
        }
    }
    return false;
}

bool equalsIgnoringCase(std::string_view a, const char* b) {
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

bool newer(const timespec& a, const timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// A set, non-empty environment variable read with strtol base 10.
bool environmentNumber(const char* name, long& value) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return false;
    }
    value = std::strtol(text, nullptr, 10);
    return true;
}

long atLeastZero(long value) { return value < 0 ? 0 : value; }

unsigned toLevel(long value) { return static_cast<unsigned>(std::clamp<long>(value, 0, INT_MAX)); }

int containsIni(const struct dirent* entry) { return std::strstr(entry->d_name, ".ini") != nullptr; }

}  // namespace

// ---------------------------------------------------------------- ini file

bool CDebugTraceConfigFile::Load(const std::string& path) {
    Clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    std::string text;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileSize;
    if (ok) {
        text.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = read(fd, &text[done], text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        // The file may have shrunk since fstat; the text is what was read.
        text.resize(done);
    }
    close(fd);
    if (!ok) {
        return false;
    }

    std::string_view name, last;
    size_t after = 0;
    bool any = false;
    while (nextHeader(text, after, name, after)) {
        last = name;
        any = true;
    }
    if (!any || !equalsIgnoringCase(last, kEndOfFileSection)) {
        return false;
    }
    m_Path = path;
    m_Text = std::move(text);
    m_Size = st.st_size;
    m_MTime = st.st_mtim;
    return true;
}

bool CDebugTraceConfigFile::SelectSection(const char* name) {
    m_HasSection = false;
    m_SectionName.clear();
    if (name == nullptr) {
        return false;
    }
    const std::string_view text(m_Text);
    std::string_view header;
    size_t after = 0;
    while (nextHeader(text, after, header, after)) {
        if (equalsIgnoringCase(header, name)) {
            const size_t end = text.find('[', after);
            m_SectionBegin = after;
            m_SectionEnd = end == std::string_view::npos ? text.size() : end;
            m_SectionName = name;
            m_HasSection = true;
            return true;
        }
    }
    return false;
}

const char* CDebugTraceConfigFile::FindValue(const char* key, size_t& length) const {
    if (!m_HasSection || key == nullptr || *key == '\0') {
        return nullptr;
    }
    const std::string_view section =
        std::string_view(m_Text).substr(m_SectionBegin, m_SectionEnd - m_SectionBegin);
    const size_t at = section.find(key);
    if (at == std::string_view::npos) {
        return nullptr;
    }
    size_t value = section.find('=', at + std::strlen(key));
    if (value == std::string_view::npos) {
        return nullptr;
    }
    ++value;
    while (value < section.size() && (section[value] == ' ' || section[value] == '\t')) {
        ++value;
    }
    size_t end = section.find_first_of("\r\n", value);
    if (end == std::string_view::npos) {
        end = section.size();
    }
    length = end - value;
    return section.data() + value;
}

bool CDebugTraceConfigFile::GetString(const char* key, char* out, size_t cap) const {
    size_t length = 0;
    const char* value = FindValue(key, length);
    if (value == nullptr || cap == 0) {
        return false;
    }
    length = std::min(length, cap - 1);
    std::memcpy(out, value, length);
    out[length] = '\0';
    return true;
}

bool CDebugTraceConfigFile::GetNumber(const char* key, long& value) const {
    char text[kMaxValue + 1];
    if (!GetString(key, text, sizeof text)) {
        return false;
    }
    value = static_cast<long>(std::strtoul(text, nullptr, 0));
    return true;
}

CDebugTraceConfigFile::State CDebugTraceConfigFile::Check() const {
    struct stat st;
    if (m_Path.empty() || stat(m_Path.c_str(), &st) != 0) {
        return State::Vanished;
    }
    return newer(st.st_mtim, m_MTime) || st.st_size != m_Size ? State::Modified : State::Unchanged;
}

void CDebugTraceConfigFile::Clear() {
    m_Path.clear();
    m_Text.clear();
    m_SectionName.clear();
    m_SectionBegin = m_SectionEnd = 0;
    m_HasSection = false;
    m_Size = 0;
    m_MTime = timespec{};
}

// ---------------------------------------------------------------- settings

const char* const CDebugTraceConfig::kEnvironmentList[kEnvironmentCount] = {
    "LD_LIBRARY_PATH",
    "QM_SYSTEM",
    "QM_OS",
    "QM_OS_MAJOR",
    "QM_OS_MINOR",
    "QM_VVOS",
    "QM_RELEASE",
    "QM_VENDOR",
    "QM_HOSTNAME",
    "QM_HOSTOSREVMAJOR",
    "QM_HOSTOSREVMINOR",
    "QM_SYSNAME",
    "QM_VERSION",
    "QM_NICKNAME",
    "QM_HWPLATFORM",
    "QM_RUNNINGONVM",
    "QM_RUNNINGONPAN",
    "QM_VMREL",
    "QM_ARCH",
    "QM_REPO",
    "QM_RAID_EXISTS",
    "QM_RAID_READY",
    "QM_RAID_VERSION",
    "QM_INSTALL_DATE",
    "QM_USE_SG_IO_HDR_T",
    "QM_AGENT_X_SOCKET",
    "QM_RQBD_REPLY_TIME",
    "QM_DAEMON_COREFILE_LIMIT",
    "QM_VME_WAIT_TIME_FOR_VMSERVER",
    "QM_KDS_PROVIDER_TRACE",
    "QM_KDS_NOSIGNAL",
    "QM_LOG_DYNAMIC_UPDATE",
    "QM_KDS_DEBUG_LEVEL",
    "QM_LOG_FILE_DIR",
    "QM_LOG_FILE_MAX_SIZE",
    "QM_LOG_RINGBUF_DIR",
    "QM_LOG_DEBUG_LEVEL",
    "QM_LOG_RINGBUF_WEIGHT",
    "QM_LOG_NOHDR_TOSDTERR",
    "VTA_QM_HOME",
};

const char* const CDebugTraceConfig::kConfigurationList[kConfigurationCount] = {
    "AgentPermission",          "AgentShut",         "ShutdownDelay",      "UserGroup",
    "ScanTapeDevices",          "TraceFileLimit",    "NoAccountCheck",     "InventoryRescan",
    "CDPollInterval",           "AgentsToBeStarted", "WaitForRqbdSockets", "WaitForRqbdTerm",
    "InvAgtPollNetUtilization",
};

void CDebugTraceConfig::ResetConfiguration() {
    m_Ini = IniValues();
    m_ConfigStopped = false;
    m_DynamicUpdate = 0;
    m_FileLevel = 0;
    m_ConfiguredLevel = 0;
    m_Factor = 0;
    m_Weight = 0;
    m_RingDirectory.clear();
    m_LogMaxSize = kDefaultLogMaxSize;
    m_NoHeader = 1;
    m_MemoryColumn = true;
    m_TraceFlags = 0;
    m_GlobalFile.Clear();
    m_AppFile.Clear();
}

void CDebugTraceConfig::ReadEnvironmentLists(const std::string& appName) {
    auto valueOf = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "NotSet");
    };
    for (size_t i = 0; i < kEnvironmentCount; ++i) {
        m_EnvironmentValues[i] = valueOf(kEnvironmentList[i]);
    }
    for (size_t i = 0; i < kConfigurationCount; ++i) {
        m_ConfigurationValues[i] = valueOf(kConfigurationList[i]);
    }
    std::string upper(appName);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    char name[48];
    std::snprintf(name, sizeof name, "QM_LOG_RINGBUF_WEIGHT_%s", upper.c_str());
    m_WeightVariable = name;
    m_WeightVariableValue = valueOf(name);
}

void CDebugTraceConfig::ReadAppKeys() {
    m_AppFile.GetNumber("FileDebugLevel", m_Ini.level);
    m_AppFile.GetNumber("RingBufferSizeFactor", m_Ini.factor);
    m_AppFile.GetNumber("RingBufferSizeWeight", m_Ini.weight);
    m_AppFile.GetString("RingBufferDirectory", m_Ini.ringDirectory, sizeof m_Ini.ringDirectory);
    m_AppFile.GetNumber("NoHeaderToStderr", m_Ini.noHeader);
    m_AppFile.GetNumber("MemoryTracesFlag", m_Ini.memoryTraces);
    m_AppFile.GetNumber("TraceFlags", m_Ini.traceFlags);
}

void CDebugTraceConfig::ReadConfiguration(const std::string& appName) {
    const std::string directory = provider::systemPath(kConfigDirectory);
    struct dirent** names = nullptr;
    const int count = scandir(directory.c_str(), &names, containsIni, alphasort);
    if (count == 0) {
        // A directory that exists but is empty of ini files means "tracing
        // is configured off here": not even the environment may turn it on.
        std::free(names);
        m_ConfigStopped = true;
        m_MemoryColumn = false;
        m_RingDirectory = defaultTraceDirectory();
        return;
    }
    if (count > 0) {
        if (m_GlobalFile.Load(directory + "/" + kGlobalFileName) &&
            m_GlobalFile.SelectSection(kGlobalSection)) {
            m_GlobalFile.GetNumber("DynamicUpdate", m_Ini.dynamicUpdate);
        }
        for (int i = 0; i < count; ++i) {
            if (!m_AppFile.HasSection()) {
                CDebugTraceConfigFile candidate;
                if (candidate.Load(directory + "/" + names[i]->d_name) &&
                    candidate.SelectSection(appName.c_str())) {
                    m_AppFile = std::move(candidate);
                }
            }
            std::free(names[i]);
        }
        std::free(names);
        if (m_AppFile.HasSection()) {
            ReadAppKeys();
        }
    }

    long value = 0;
    m_FileLevel = toLevel(m_Ini.level);
    m_ConfiguredLevel = environmentNumber("QM_LOG_DEBUG_LEVEL", value) ? toLevel(value) : m_FileLevel;
    m_DynamicUpdate =
        atLeastZero(environmentNumber("QM_LOG_DYNAMIC_UPDATE", value) ? value : m_Ini.dynamicUpdate);

    // QM_LOG_FILE_DIR is deliberately not consulted: the log file always sits
    // beside the ring file, in the one trace directory.
    const char* directoryVariable = std::getenv("QM_LOG_RINGBUF_DIR");
    if (directoryVariable != nullptr && *directoryVariable != '\0') {
        m_RingDirectory.assign(directoryVariable,
                               strnlen(directoryVariable, CDebugTraceConfigFile::kMaxDirectoryValue));
    } else if (m_Ini.ringDirectory[0] != '\0') {
        m_RingDirectory = m_Ini.ringDirectory;
    } else {
        m_RingDirectory = defaultTraceDirectory();
    }

    m_Factor = std::min(2L, atLeastZero(environmentNumber("TraceFileLimit", value) ? value : m_Ini.factor));
    if (environmentNumber(m_WeightVariable.c_str(), value) ||
        environmentNumber("QM_LOG_RINGBUF_WEIGHT", value)) {
        m_Weight = atLeastZero(value);
    } else {
        m_Weight = atLeastZero(m_Ini.weight);
    }
    if (environmentNumber("QM_LOG_FILE_MAX_SIZE", value) && value > 0) {
        m_LogMaxSize = std::min<long>(value, INT_MAX);
    }
    if (environmentNumber("QM_LOG_NOHDR_TOSDTERR", value)) {
        m_NoHeader = value;
    } else if (m_Ini.noHeader != -1) {
        m_NoHeader = m_Ini.noHeader;
    }
    m_MemoryColumn = m_Ini.memoryTraces != 0;
    m_TraceFlags = m_Ini.traceFlags == -1 ? 0 : static_cast<unsigned long>(m_Ini.traceFlags);
}

namespace {

// Reloads a loaded file that changed on disk, keeping its selected section.
// A file that fails to load (an editor half-way through saving it) keeps its
// old reader, so the next look tries again; a vanished one is dropped.
bool ReloadIfModified(CDebugTraceConfigFile& file) {
    if (!file.IsLoaded()) {
        return false;
    }
    switch (file.Check()) {
        case CDebugTraceConfigFile::State::Vanished:
            file.Clear();
            return false;
        case CDebugTraceConfigFile::State::Unchanged:
            return false;
        case CDebugTraceConfigFile::State::Modified:
            break;
    }
    CDebugTraceConfigFile fresh;
    if (!fresh.Load(file.Path())) {
        return false;
    }
    const std::string section = file.SectionName();
    file = std::move(fresh);
    file.SelectSection(section.c_str());
    return true;
}

}  // namespace

bool CDebugTraceConfig::RefreshFromFiles() {
    long value = 0;
    if (ReloadIfModified(m_GlobalFile) && m_GlobalFile.SelectSection(kGlobalSection) &&
        m_GlobalFile.GetNumber("DynamicUpdate", value)) {
        m_Ini.dynamicUpdate = value;
        m_DynamicUpdate = atLeastZero(value);
    }
    bool levelRead = false;
    if (ReloadIfModified(m_AppFile)) {
        if (m_AppFile.GetNumber("FileDebugLevel", value)) {
            m_Ini.level = value;
            m_FileLevel = toLevel(value);
            levelRead = true;
        }
        if (m_AppFile.GetNumber("TraceFlags", value)) {
            m_Ini.traceFlags = value;
            m_TraceFlags = static_cast<unsigned long>(value);
        }
        if (m_AppFile.GetNumber("MemoryTracesFlag", value)) {
            m_Ini.memoryTraces = value;
            m_MemoryColumn = value != 0;
        }
    }
    return levelRead;
}

bool CDebugTraceConfig::RingSize(long pageSize, size_t& size) const {
    size = 0;
    if (m_Factor <= 0 || m_Weight <= 0) {
        return true;
    }
    // No limit of our own: the administrator sizes the ring for the disk and
    // the address space at hand, and mapping or filling it says when they
    // do not suffice. Only a product that wraps must be caught here.
    const size_t unit = static_cast<size_t>(std::min(m_Factor, 2L)) * RingPageSize(pageSize) * 256;
    const size_t weight = static_cast<size_t>(m_Weight);
    if (weight > SIZE_MAX / unit) {
        return false;
    }
    size = weight * unit;
    return true;
}
