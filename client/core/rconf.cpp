#include "client/core/rconf.h"
#include "client/core/rconf_files_internal.h"

#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <lua.hpp>

#include "client/core/log.h"
#include "client/core/runtime.h"

namespace velmar {

namespace {

std::atomic<CRConf*> g_instance{nullptr};

struct Default {
    const char* name;
    RConfType type;
    std::int32_t i;  // int and bool
    float f;
};

constexpr char kDefaultTheme[] = "default";

const Default kDefaults[RCONF_VAR_COUNT] = {
    {"Width", RConfType::Int, 800, 0.0f},
    {"Height", RConfType::Int, 600, 0.0f},
    {"BPP", RConfType::Int, 32, 0.0f},
    {"RefreshRate", RConfType::Int, 0, 0.0f},
    {"Multisample", RConfType::Int, 0, 0.0f},
    {"WindowMode", RConfType::Bool, 1, 0.0f},
    {"VSync", RConfType::Bool, 1, 0.0f},
    {"TextureDetaillevel", RConfType::Int, 3, 0.0f},
    {"TextureUseAlwaysHighRes", RConfType::Bool, 0, 0.0f},
    {"GL_Smooth_Point", RConfType::Bool, 1, 0.0f},
    {"GL_Smooth_Line", RConfType::Bool, 1, 0.0f},
    {"GL_Smooth_Polygon", RConfType::Bool, 0, 0.0f},
    {"UseLightmaps", RConfType::Bool, 1, 0.0f},
    {"CompressFont", RConfType::Bool, 1, 0.0f},
    {"CubeResolution", RConfType::Int, 8, 0.0f},
    {"CompileAndOptimizeModel", RConfType::Bool, 1, 0.0f},
    {"ModelShowBBOX", RConfType::Bool, 0, 0.0f},
    {"UseMultiTexture", RConfType::Bool, 1, 0.0f},
    {"AlternateGroundCursorCollision", RConfType::Bool, 1, 0.0f},
    {"Screenshotformat", RConfType::Int, 1, 0.0f},
    {"Stat_FPS", RConfType::Bool, 0, 0.0f},
    {"Stat_Scene", RConfType::Bool, 0, 0.0f},
    {"SoundDisabled", RConfType::Bool, 0, 0.0f},
    {"SoundForceStereo", RConfType::Bool, 0, 0.0f},
    {"MouseSpeed", RConfType::Float, 0, 1.0f},
    {"MouseLockedInWindow", RConfType::Bool, 1, 0.0f},
    {"MouseCamRotSensitivity", RConfType::Float, 0, 0.35f},
    {"MouseCamVertSensitivity", RConfType::Float, 0, 0.05f},
    {"MouseCamDistSensitivity", RConfType::Float, 0, 0.15f},
    {"GuiTheme", RConfType::String, 0, 0.0f},
};

// --- Conversions ---

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Skips to the first sign or digit, then reads an optional sign and digits.
std::int32_t textToInt(const char* s) {
    while (*s != '\0' && *s != '-' && *s != '+' && !isDigit(*s)) ++s;
    bool negative = false;
    if (*s == '-' || *s == '+') negative = *s++ == '-';
    constexpr std::int64_t kLimit = 2147483648LL;  // saturate, never overflow
    std::int64_t value = 0;
    for (; isDigit(*s); ++s) {
        value = value * 10 + (*s - '0');
        if (value > kLimit) value = kLimit;
    }
    if (negative) return static_cast<std::int32_t>(-value);
    return value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
}

// Plain decimal only: white space, sign, digits, fraction, exponent. No hex,
// "inf" or "nan", which strtod alone would accept.
double textToDouble(const char* s) {
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    const char* p = s;
    if (*p == '-' || *p == '+') ++p;
    std::size_t digits = 0;
    for (; isDigit(*p); ++p) ++digits;
    if (*p == '.') {
        ++p;
        for (; isDigit(*p); ++p) ++digits;
    }
    if (digits == 0) return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char* e = p + 1;
        if (*e == '-' || *e == '+') ++e;
        if (isDigit(*e)) {
            p = e;
            while (isDigit(*p)) ++p;
        }
    }
    const std::string number(s, static_cast<std::size_t>(p - s));
    return std::strtod(number.c_str(), nullptr);
}

std::int32_t floatToInt(float f) {
    if (std::isnan(f)) return 0;
    if (f >= 2147483648.0f) return INT32_MAX;
    if (f <= -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(f);  // truncates toward zero
}

bool textEqualsNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

// A Lua string literal that reads back byte for byte. Numeric escapes always
// take three digits so a following digit cannot join them.
void appendLuaString(std::string& out, const char* text) {
    out += '"';
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03u", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// --- Lua helpers ---

thread_local const char* t_loadPath = "";

// Lua's own panic would exit without our exit handlers.
int onLuaPanic(lua_State*) {
    Message(kLogCrit, "RConf: load '%s' - lua failure. - internal error - aborting", t_loadPath);
    exitProcess(1);
}

// A chunk that never ends (a loop typed by hand) would hold the start-up,
// and the launcher's splash with it: past this many instructions it fails
// like any other Lua error. A settings file needs a few hundred.
constexpr int kChunkInstructionBudget = 10000000;

void onChunkBudgetSpent(lua_State* L, lua_Debug*) {
    luaL_where(L, 0);  // the chunk's line, where luaL_error would name the caller
    lua_pushfstring(L, "runs too long (more than %d instructions)", kChunkInstructionBudget);
    lua_concat(L, 2);
    lua_error(L);
}

// 0/0 (or "nan") for a number is no value at all: the default stays.
bool isNotANumber(lua_State* L) { return lua_isnumber(L, -1) && std::isnan(lua_tonumber(L, -1)); }

std::int32_t luaToInt32(lua_State* L) {
    if (lua_isnumber(L, -1)) {
        const lua_Number d = lua_tonumber(L, -1);
        if (d >= 2147483647.0) return INT32_MAX;
        if (d <= -2147483648.0) return INT32_MIN;
    }
    return static_cast<std::int32_t>(lua_tointeger(L, -1));
}

float luaToFloat(lua_State* L) {
    const lua_Number d = lua_tonumber(L, -1);
    if (d > FLT_MAX) return FLT_MAX;
    if (d < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(d);
}

}  // namespace

// --- Lifecycle ---

// The lock plus a depth count, so Destroy can tell that an outer frame of
// its own thread (a getter that is ending the process) still holds it.
class CRConf::Hold {
public:
    explicit Hold(CRConf& conf) : m_conf(conf) {
        m_conf.m_lock.lock();
        ++m_conf.m_holdDepth;
    }
    ~Hold() {
        --m_conf.m_holdDepth;
        m_conf.m_lock.unlock();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    CRConf& m_conf;
};

CRConf::CRConf(const std::string& path) : m_path(path) {
    for (int i = 0; i < RCONF_VAR_COUNT; ++i) {
        Entry& e = m_table[i];
        const Default& d = kDefaults[i];
        e.name = d.name;
        e.type = d.type;
        switch (d.type) {
            case RConfType::Int: e.value.i = d.i; e.size = 4; break;
            case RConfType::Bool: e.value.b = static_cast<std::uint8_t>(d.i); e.size = 1; break;
            case RConfType::Float: e.value.f = d.f; e.size = 4; break;
            case RConfType::String:
                e.value.s = kDefaultTheme;
                e.size = sizeof kDefaultTheme - 1;
                break;
        }
    }
}

CRConf::~CRConf() {
    for (char* text : m_ownedTexts) release(text);
}

CRConf* CRConf::instance() { return g_instance.load(std::memory_order_acquire); }

CRConf* CRConf::Create(const std::string& path) {
    if (CRConf* existing = instance()) return existing;
    auto* conf = new CRConf(path);
    conf->LoadConfigFromFile(conf->m_path);  // marks the rewrite where one is due
    g_instance.store(conf, std::memory_order_release);
    return conf;
}

void CRConf::Destroy() {
    CRConf* conf = g_instance.exchange(nullptr);
    if (!conf) return;
    bool heldByCaller = false;
    {
        Hold hold(*conf);
        if (conf->m_rewrite) conf->writeConfigFile();
        heldByCaller = conf->m_holdDepth > 1;
    }
    // Reached from an exit handler while this thread is still inside a
    // getter: the process ends right after, and that frame still uses the
    // table and its lock, so they stay.
    if (heldByCaller) return;
    delete conf;
}

const char* CRConf::typeName(RConfType type) {
    switch (type) {
        case RConfType::Int: return "int";
        case RConfType::Bool: return "bool";
        case RConfType::Float: return "float";
        case RConfType::String: return "string";
    }
    return "unknown";
}

// --- Typed access ---

bool CRConf::validIndex(int index, const char* asType) {
    if (index >= 0 && index < RCONF_VAR_COUNT) return true;
    Message(kLogWarn, "RConf: access to cvar #%d as %s - no such cvar", index, asType);
    return false;
}

std::int32_t CRConf::GetInt(int index) {
    Hold hold(*this);
    if (!validIndex(index, "int")) return 0;
    const Entry& e = m_table[index];
    if (e.type == RConfType::Int) return e.value.i;
    Message(kLogWarn, "RConf:  access to cvar '%s' as int, var is type: %s", e.name,
            typeName(e.type));
    switch (e.type) {
        case RConfType::Bool: return e.value.b == 1 ? 1 : 0;
        case RConfType::Float: return floatToInt(e.value.f);
        case RConfType::String: return textToInt(e.value.s);
        default: return 0;
    }
}

bool CRConf::GetBool(int index) {
    Hold hold(*this);
    if (!validIndex(index, "bool")) return false;
    const Entry& e = m_table[index];
    if (e.type == RConfType::Bool) return e.value.b != 0;
    Message(kLogWarn, "RConf:  access to cvar '%s' as bool, var is type: %s", e.name,
            typeName(e.type));
    switch (e.type) {
        case RConfType::Int: return e.value.i != 0;
        case RConfType::Float: return e.value.f != 0.0f;
        case RConfType::String:
            return textEqualsNoCase(e.value.s, "true") || textToDouble(e.value.s) == 1.0;
        default: return false;
    }
}

float CRConf::GetFloat(int index) {
    Hold hold(*this);
    if (!validIndex(index, "float")) return 0.0f;
    const Entry& e = m_table[index];
    if (e.type == RConfType::Float) return e.value.f;
    Message(kLogWarn, "RConf:  access to cvar '%s' as float, var is type: %s", e.name,
            typeName(e.type));
    switch (e.type) {
        case RConfType::Int: return static_cast<float>(e.value.i);
        case RConfType::Bool: return e.value.b == 1 ? 1.0f : 0.0f;
        case RConfType::String: return static_cast<float>(textToDouble(e.value.s));
        default: return 0.0f;
    }
}

const char* CRConf::GetString(int index) {
    const char* name;
    RConfType type;
    {
        Hold hold(*this);
        if (!validIndex(index, "string")) return "";
        const Entry& e = m_table[index];
        if (e.type == RConfType::String) return e.value.s;
        name = e.name;  // static texts: still valid after the lock is left
        type = e.type;
    }
    // The lock is left first: the critical box may stay open for a long
    // time, and another thread may already be ending the process and need
    // the lock to rewrite the file.
    Message(kLogCrit, "RConf: access to cvar '%s' as string,  var is type: %s - impossible.",
            name, typeName(type));
    exitProcess(1);
}

void CRConf::AddObserver(int index, RConfObserver observer) {
    Hold hold(*this);
    if (!validIndex(index, "observer")) return;
    m_table[index].observers.push_back(observer);
}

// --- Loading ---

bool CRConf::LoadConfigFromFile(const std::string& path) {
    const char* name = path.c_str();
    char* data = nullptr;
    std::size_t size = 0;
    const ReadStatus read = readWholeFile(name, &data, &size);
    if (read != ReadStatus::Ok) {
        if (read == ReadStatus::Empty)
            Message(kLogWarn, "RConf: load '%s' - file is empty. - Falling back to default values",
                    name);
        else
            Message(kLogWarn,
                    "RConf: load '%s' - file open error. - Falling back to default values", name);
        if (read == ReadStatus::Failed) {
            Message(kLogWarn, "RConf: '%s' cannot be read - it is kept as it is", name);
            return false;
        }
        Hold hold(*this);
        m_rewrite = 1;
        return false;
    }
    const bool used = LoadConfigFromText(name, data, size);
    release(data);
    return used;
}

bool CRConf::LoadConfigFromText(const char* name, const char* data, std::size_t size) {
    if (size == 0) {
        Message(kLogWarn, "RConf: load '%s' - file is empty. - Falling back to default values",
                name);
        Hold hold(*this);
        m_rewrite = 1;
        return false;
    }
    const char* const text = data;
    const std::size_t textSize = size;
    lua_State* L = luaL_newstate();
    if (!L) {
        Message(kLogCrit, "RConf: load '%s' - lua failure. - internal error - aborting", name);
        exitProcess(1);
    }
    t_loadPath = name;
    lua_atpanic(L, onLuaPanic);
    // Editors may save the file with a UTF-8 byte order mark, which Lua 5.1
    // takes for a syntax error: every setting would fall back and the rewrite
    // would replace the player's file with the defaults.
    constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
    if (size >= 3 && std::memcmp(data, kUtf8Bom, 3) == 0) {
        data += 3;
        size -= 3;
    }
    int rc = luaL_loadbuffer(L, data, size, name);
    lua_sethook(L, onChunkBudgetSpent, LUA_MASKCOUNT, kChunkInstructionBudget);
    if (rc == 0) rc = lua_pcall(L, 0, 0, 0);
    if (rc != 0) {
        Message(kLogWarn, "RConf: load '%s' - fail;  lua error.", name);
        const char* error = lua_tostring(L, -1);
        Message(kLogWarn, "%s", error ? error : "(error object is not a string)");
        lua_close(L);
        Hold hold(*this);
        m_rewrite = 1;
        if (m_path == name) m_unusedText.assign(text, textSize);
        return false;
    }
    takeValues(L);
    lua_close(L);
    return true;
}

void CRConf::takeValues(void* luaState) {
    auto* L = static_cast<lua_State*>(luaState);
    Hold hold(*this);
    for (Entry& e : m_table) {
        lua_getglobal(L, e.name);
        const bool numeric = e.type == RConfType::Int || e.type == RConfType::Float;
        if (lua_isnil(L, -1) || (numeric && isNotANumber(L))) {
            Message(kLogInfo,
                    "RConf: cvar '%s' does not exist in configuration file - falling back to "
                    "default value.",
                    e.name);
            m_rewrite = 1;
        } else if (e.type == RConfType::Int) {
            e.value.i = luaToInt32(L);
        } else if (e.type == RConfType::Float) {
            e.value.f = luaToFloat(L);
        } else if (e.type == RConfType::Bool) {
            e.value.b = lua_toboolean(L, -1) ? 1 : 0;
            VELMAR_TRACE("'%s' is '%s'\n", e.name, e.value.b ? "TRUE" : "FALSE");
        } else {
            std::size_t length = 0;
            const char* text = lua_tolstring(L, -1, &length);
            if (!text || length == 0) {
                Message(kLogInfo,
                        "RConf: cvar '%s' (expecting string) does not exist in configuration "
                        "file (or lua error ?) - falling back to default value.",
                        e.name);
            } else {
                // Lua strings may hold zero bytes; the value ends at the first.
                const std::size_t textLength = ::strnlen(text, length);
                auto* copy = static_cast<char*>(allocate(textLength + 1));
                std::memcpy(copy, text, textLength);
                copy[textLength] = '\0';
                m_ownedTexts.push_back(copy);
                e.value.s = copy;
                e.size = textLength;
            }
        }
        lua_pop(L, 1);
    }
}

// --- Writing ---

void CRConf::writeConfigFile() {
    Hold hold(*this);
    std::string text =
        "-- This Configuration is Autogenerated\n"
        "-- Do not change anything while the game is running\n"
        "--\n";
    char line[512];
    for (int i = 0; i < RCONF_VAR_COUNT; ++i) {
        const Entry& e = m_table[i];
        text += e.name;
        text += " = ";
        switch (e.type) {
            case RConfType::Int:
                std::snprintf(line, sizeof line, "%d", static_cast<int>(e.value.i));
                text += line;
                break;
            case RConfType::Float: {
                // "nan" or "inf" would read back as an undefined global and
                // fail the whole file at the next start.
                const float f = std::isfinite(e.value.f) ? e.value.f : kDefaults[i].f;
                std::snprintf(line, sizeof line, "%f", static_cast<double>(f));
                text += line;
                break;
            }
            case RConfType::Bool: text += e.value.b ? "true" : "false"; break;
            case RConfType::String: appendLuaString(text, e.value.s); break;
        }
        text += '\n';
    }
    // A file the player made read-only holds the settings they chose (its
    // mode, not access(): root may write anything).
    struct stat st;
    const bool exists = ::stat(m_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (exists && (st.st_mode & 0222) == 0) {
        Message(kLogWarn, "RConf: '%s' is write-protected - it is kept as it is", m_path.c_str());
        return;
    }
    if (!m_unusedText.empty()) {
        const std::string kept = keptName(m_path);
        // As private as the settings it was.
        if (kept.empty() || replaceFile(kept, m_unusedText, exists ? st.st_mode & 0777 : 0) != WriteStatus::Ok) {
            Message(kLogWarn, "RConf: cannot keep '%s' as '%s' - it is kept as it is", m_path.c_str(),
                    kept.empty() ? (m_path + ".bad.9").c_str() : kept.c_str());
            return;
        }
        Message(kLogWarn, "RConf: '%s' could not be run - kept as '%s' before the rewrite", m_path.c_str(),
                kept.c_str());
        m_unusedText.clear();  // kept once; a later write replaces only the settings
    }
    switch (replaceFile(m_path, text)) {
        case WriteStatus::Ok: break;
        case WriteStatus::OpenFailed:
            Message(kLogWarn, "RConf: cannot write '%s' (open io error)", m_path.c_str());
            break;
        case WriteStatus::WriteFailed:
            Message(kLogWarn, "RConf: cannot write '%s' (write io error)", m_path.c_str());
            break;
    }
}

}  // namespace velmar
