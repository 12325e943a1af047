// CTexture: definition database, on-demand loading, reference counting and
// the default-texture redirect.
#include "client/assets/texture.h"

#include <atomic>
#include <cstring>
#include <new>

#include "client/assets/dds.h"
#include "client/assets/def_file.h"
#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/gl/gl_ext.h"
#include "client/storage/cdb.h"
#include "client/storage/load_file_data.h"

namespace velmar {

struct CTexture::Entry {
    std::int32_t id;
    char* path;
    std::uint32_t glName;
    float width;
    float height;
    std::uint32_t uploadedBytes;
    std::uint32_t uploadedLevels;
    std::uint32_t refCount;
    std::uint32_t loaded;
};

namespace {

// The one instance, reached as the log, the settings and the timer are.
std::atomic<CTexture*> g_instance{nullptr};

char* copyText(const std::string& text) {
    char* copy = static_cast<char*>(allocate(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

CDB* makeDatabase(const char* name) { return new (allocate(sizeof(CDB))) CDB(name); }

void destroyDatabase(CDB* db) {
    if (!db) return;
    db->~CDB();
    release(db);
}

}  // namespace

// --- Sampling ---

TextureSampling textureSamplingFor(int detailLevel, bool noMipmaps) {
    switch (detailLevel) {
    case 0:
    case 1:
    case 2:
        // The lower levels keep every level in GL and only sample a smaller one.
        return {true, GL_NEAREST, noMipmaps ? GL_NEAREST : GL_LINEAR_MIPMAP_NEAREST,
                2 - detailLevel};
    case 3:
        return {true, GL_LINEAR, noMipmaps ? GL_LINEAR : GL_LINEAR_MIPMAP_LINEAR, 0};
    default:
        return {false, 0, 0, 0};
    }
}

// --- Definition file ---

class CTexture::DefSink : public DefFileReader {
public:
    explicit DefSink(CTexture& owner) : m_owner(owner) {}

protected:
    void onDefEntry(std::int32_t id, const std::string& path) override {
        m_owner.defineTexture(id, path);
    }
    void onDefLoaded(const char* path, std::uint32_t entries) override {
        Message(kLogInfo, "CTexture: DefFile '%s' Loaded => %d Entrys", path,
                static_cast<int>(entries));
    }
    void onDefReadError(const char* path) override {
        Message(kLogWarn, "CTexture => DefFile: IO Read error on '%s'", path);
    }
    void onDefEncodingError(const char* path, const char* why) override {
        Message(kLogWarn, "CTexture => DefFile: '%s' not read - %s", path, why);
    }
    void onDefLoadRefused(const char* path, DefLoadRefusal why) override {
        if (why == DefLoadRefusal::AlreadyOpen) {
            Message(kLogWarn, "CTexture => DefFile: '%s' is already being read; load line skipped.",
                    path);
        } else {
            Message(kLogWarn, "CTexture => DefFile: '%s' nests loads deeper than %d; load line skipped.",
                    path, static_cast<int>(kDefMaxLoadDepth));
        }
    }

private:
    CTexture& m_owner;
};

int CTexture::LoadDefFile(const char* path) {
    DefSink sink(*this);
    return sink.readDefFile(path);
}

void CTexture::defineTexture(std::int32_t id, const std::string& path) {
    Entry* old = static_cast<Entry*>(m_textures->db_find(id));
    if (old && old->loaded) {
        // Its GL name is still handed out; the new file is read on its next load.
        release(old->path);
        old->path = copyText(path);
        return;
    }
    if (old) {
        release(old->path);
        release(old);
    }
    Entry* entry = static_cast<Entry*>(allocate(sizeof(Entry)));
    std::memset(entry, 0, sizeof(Entry));
    entry->id = id;
    entry->path = copyText(path);
    m_textures->db_insert(id, entry);
}

// --- Life cycle ---

CTexture* CTexture::Create() {
    if (CTexture* existing = instance()) return existing;
    auto* manager = new (allocate(sizeof(CTexture))) CTexture();
    g_instance.store(manager, std::memory_order_release);
    return manager;
}

void CTexture::Destroy() {
    CTexture* manager = g_instance.exchange(nullptr);
    if (!manager) return;
    manager->~CTexture();
    release(manager);
}

CTexture* CTexture::instance() { return g_instance.load(std::memory_order_acquire); }

CTexture::CTexture() {
    Message(kLogInfo, "CTexture::CTexture call");
    m_textures = makeDatabase("CTexture Manager Texture DB");
    m_gfxTextures = makeDatabase("CTexture Manager GFX Texture DB");
    CRConf* conf = CRConf::instance();
    m_alwaysHighRes = conf && conf->GetBool(RCONF_TEXTUREUSEALWAYSHIGHRES) ? 1 : 0;
    if (!LoadDefFile(kTextureDefPath)) {
        Message(kLogWarn, "CTexture Manager; initial Texture Definition Database empty or no content.");
    }
    GLint limit = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
    m_maxTextureSize = limit;
    Message(kLogInfo, "CTexture: Hardware TexRes. Limit: %d x %d", limit, limit);
}

CTexture::~CTexture() {
    m_textures->db_foreach(
        [](std::int32_t, void* value, void*) {
            Entry* entry = static_cast<Entry*>(value);
            if (entry->loaded) {
                glDeleteTextures(1, &entry->glName);
                Message(kLogWarn, "~CTexture: Freed Referenced Texture '%d' (RefCount: %d)",
                        entry->id, static_cast<int>(entry->refCount));
            }
            release(entry->path);
            release(entry);
            return 0;
        });
    destroyDatabase(m_textures);
    destroyDatabase(m_gfxTextures);
}

// --- Requests ---

unsigned CTexture::Get(std::uint32_t id, float* width, float* height, std::uint32_t flags) {
    std::int32_t key = 0;
    std::memcpy(&key, &id, sizeof key);
    bool noMipmaps = (flags & 0xFFu) == kTextureNoMipmaps;
    Entry* entry = nullptr;
    // At most two rounds: the request, then texture 0, which succeeds or ends the client.
    while (true) {
        entry = static_cast<Entry*>(m_textures->db_find(key));
        if (entry && entry->loaded) break;
        if (entry) {
            if (LoadTextureFromFS(entry, noMipmaps)) {
                addUploaded(entry->uploadedBytes, entry->uploadedLevels);
                entry->loaded = 1;
                m_gfxTextures->db_insert(static_cast<std::int32_t>(entry->glName), entry);
                break;
            }
            if (key == 0) {
                defaultTextureFailed("CTexture::Get Default Texture Failed; texture could not be loaded!");
            }
            Message(kLogWarn, "CTexture::Get: Texture '%d' Load Error - redirecting to default texture '0'",
                    key);
        } else {
            if (key == 0) defaultTextureFailed("CTexture::Get Default Texture Failed; texture unknown!");
            Message(kLogWarn, "CTexture::Get: Texture '%d' is unknown => redirecting to default texture '0'",
                    key);
        }
        key = 0;
        noMipmaps = false;
    }
    ++entry->refCount;
    if (width) *width = entry->width;
    if (height) *height = entry->height;
    return entry->glName;
}

void CTexture::Free(unsigned glName) {
    const std::int32_t key = static_cast<std::int32_t>(glName);
    Entry* entry = static_cast<Entry*>(m_gfxTextures->db_find(key));
    if (!entry) {
        Message(kLogWarn, "CTexture::Free => Texture ID '%d' is unknown! (GFX TEX ID)", key);
        return;
    }
    if (!entry->loaded) {
        Message(kLogCrit, "CTexture::Free => Texture ID '%d' Free call to unbound texture?! (GFX TEX ID)",
                key);
        return;
    }
    if (--entry->refCount > 0) return;
    m_gfxTextures->db_delete(key);
    glDeleteTextures(1, &entry->glName);
    removeUploaded(entry->uploadedBytes, entry->uploadedLevels);
    entry->width = 0.0f;
    entry->height = 0.0f;
    entry->loaded = 0;
}

std::uint32_t CTexture::referenceCount(std::int32_t id) const {
    const Entry* entry = static_cast<const Entry*>(m_textures->db_find(id));
    return entry && entry->loaded ? entry->refCount : 0;
}

void CTexture::addUploaded(std::uint64_t bytes, std::uint32_t levels) {
    m_textureBytes += bytes;
    m_textureLevels += levels;
}

void CTexture::removeUploaded(std::uint64_t bytes, std::uint32_t levels) {
    m_textureBytes -= bytes < m_textureBytes ? bytes : m_textureBytes;
    m_textureLevels -= levels < m_textureLevels ? levels : m_textureLevels;
}

void CTexture::defaultTextureFailed(const char* message) {
    Message(kLogCrit, "%s", message);
    exitProcess(1);
}

// --- Loading ---

int CTexture::LoadTextureFromFS(Entry* entry, bool noMipmaps) {
    if (m_alwaysHighRes) noMipmaps = true;
    std::uint32_t size = 0;
    std::uint8_t* data = LoadFileData(entry->path, &size);
    if (!data) {
        Message(kLogWarn, "LoadTextureFromFS: '%d' (%s) File Read Error", entry->id, entry->path);
        return 0;
    }
    const bool ok = uploadTexture(entry, data, size, noMipmaps);
    release(data);
    return ok ? 1 : 0;
}

namespace {

struct UploadContext {
    TextureSampling sampling;
    std::uint32_t* bytes;
    std::uint32_t* levels;
};

void levelUploaded(const DdsLevel& level, std::uint32_t, void* context) {
    const UploadContext* upload = static_cast<const UploadContext*>(context);
    if (upload->sampling.set) {
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, upload->sampling.magFilter);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, upload->sampling.minFilter);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, upload->sampling.baseLevel);
    }
    // A checked chain lies inside a file of 32-bit length, so the sum fits.
    *upload->bytes += static_cast<std::uint32_t>(level.size);
    ++*upload->levels;
}

}  // namespace

bool CTexture::uploadTexture(Entry* entry, const std::uint8_t* data, std::uint32_t size,
                             bool noMipmaps) {
    DdsImage image;
    switch (readDds(data, size, &image)) {
    case DdsStatus::Ok:
        break;
    case DdsStatus::BadFile:
        Message(kLogWarn, "LoadTextureFromFS: '%d' (%s) Unsupported File Format / Corrupted File.",
                entry->id, entry->path);
        return false;
    case DdsStatus::UnsupportedFormat:
        Message(kLogWarn, "LoadTextureFromFS: '%d' (%s) unsupported DXT Format.", entry->id,
                entry->path);
        return false;
    case DdsStatus::NoImageData:
        Message(kLogWarn, "LoadTextureFromFS: '%d' (%s) failed - No Image Data!", entry->id,
                entry->path);
        return false;
    }
    entry->uploadedBytes = 0;
    entry->uploadedLevels = 0;
    entry->width = static_cast<float>(image.width);
    entry->height = static_cast<float>(image.height);
    glGenTextures(1, &entry->glName);
    glBindTexture(GL_TEXTURE_2D, entry->glName);
    UploadContext context{textureSamplingFor(renderCaps().textureDetail, noMipmaps),
                          &entry->uploadedBytes, &entry->uploadedLevels};
    if (!uploadDds(image, data, levelUploaded, &context)) {
        Message(kLogWarn, "LoadTextureFromFS: '%d' (%s) failed - no texture compression entry point.",
                entry->id, entry->path);
        glDeleteTextures(1, &entry->glName);
        entry->glName = 0;
        entry->width = 0.0f;
        entry->height = 0.0f;
        return false;
    }
    return true;
}

}  // namespace velmar
