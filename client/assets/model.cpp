// CModel: the model definition database and loading on first request.
#include "client/assets/model.h"

#include <atomic>
#include <cstring>
#include <new>

#include "client/assets/def_file.h"
#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/runtime.h"
#include "client/storage/cdb.h"
#include "client/storage/load_file_data.h"

namespace velmar {

namespace {

// The one instance, reached as the log, the settings and the timer are.
std::atomic<CModel*> g_instance{nullptr};

char* copyText(const char* text) {
    const std::size_t length = std::strlen(text);
    char* copy = static_cast<char*>(allocate(length + 1));
    std::memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

struct CModel::Entry {
    std::int32_t id;
    char* path;
    std::uint32_t loadCount;
    ModelData* model;
};

// --- Definition file ---

class CModel::DefSink : public DefFileReader {
public:
    explicit DefSink(CModel& owner) : m_owner(owner) {}

protected:
    void onDefEntry(std::int32_t id, const std::string& path) override {
        m_owner.defineModel(id, path.c_str());
    }
    void onDefLoaded(const char* path, std::uint32_t entries) override {
        Message(kLogInfo, "CModel: DefFile '%s' Loaded => %d Entrys", path, static_cast<int>(entries));
    }
    void onDefReadError(const char* path) override {
        Message(kLogWarn, "CModel => DefFile: IO Read error on '%s'", path);
    }
    void onDefEncodingError(const char* path, const char* why) override {
        Message(kLogWarn, "CModel => DefFile: '%s' not read - %s", path, why);
    }
    void onDefLoadRefused(const char* path, DefLoadRefusal why) override {
        if (why == DefLoadRefusal::AlreadyOpen)
            Message(kLogWarn, "CModel => DefFile: '%s' is already being read; load line skipped.", path);
        else
            Message(kLogWarn, "CModel => DefFile: '%s' nests loads deeper than %d; load line skipped.",
                    path, static_cast<int>(kDefMaxLoadDepth));
    }

private:
    CModel& m_owner;
};

int CModel::LoadDefFile(const char* path) {
    DefSink sink(*this);
    return sink.readDefFile(path);
}

void CModel::defineModel(std::int32_t id, const char* path) {
    // A later line for the same ID replaces the entry; the old one is freed.
    if (Entry* old = static_cast<Entry*>(m_models->db_delete(id))) releaseEntry(old);
    Entry* entry = static_cast<Entry*>(allocate(sizeof(Entry)));
    entry->id = id;
    entry->path = copyText(path);
    entry->loadCount = 0;
    entry->model = nullptr;
    m_models->db_insert(id, entry);
}

void CModel::releaseEntry(Entry* entry) {
    if (entry->loadCount > 0 && entry->model != nullptr) releaseModel(entry->model, m_textures);
    release(entry->path);
    release(entry);
}

// --- Life cycle ---

CModel* CModel::Create() {
    if (CModel* existing = instance()) return existing;
    CRConf* conf = CRConf::instance();
    Settings settings;
    settings.optimise = conf && conf->GetBool(RCONF_COMPILEANDOPTIMIZEMODEL);
    settings.showBoundingBox = conf && conf->GetBool(RCONF_MODELSHOWBBOX);
    settings.textures = textureManagerHooks();
    settings.clock = currentModelClock;
    settings.defPath = kModelDefPath;
    return Create(settings);
}

CModel* CModel::Create(const Settings& settings) {
    if (CModel* existing = instance()) return existing;
    auto* manager = new (allocate(sizeof(CModel))) CModel(settings);
    g_instance.store(manager, std::memory_order_release);
    return manager;
}

void CModel::Destroy() {
    CModel* manager = g_instance.exchange(nullptr);
    if (!manager) return;
    manager->~CModel();
    release(manager);
}

CModel* CModel::instance() { return g_instance.load(std::memory_order_acquire); }

CModel::CModel(const Settings& settings)
    : m_optimise(settings.optimise ? 1 : 0),
      m_showBoundingBox(settings.showBoundingBox ? 1 : 0),
      m_textures(settings.textures),
      m_clock(settings.clock ? settings.clock : currentModelClock) {
    m_models = new (allocate(sizeof(CDB))) CDB("ModelIDDB");
    if (!LoadDefFile(settings.defPath)) Message(kLogWarn, "CModel: Model Definition file NOT Loaded.\n");
}

CModel::~CModel() {
    m_models->db_foreach(
        [](std::int32_t, void* value, void* context) {
            static_cast<CModel*>(context)->releaseEntry(static_cast<Entry*>(value));
            return 0;
        },
        this);
    m_models->~CDB();
    release(m_models);
}

// --- Requests ---

ModelData* CModel::Get(std::int32_t id) {
    Entry* entry = static_cast<Entry*>(m_models->db_find(id));
    if (entry == nullptr) {
        Message(kLogWarn, "CModel->Get: Requested unknown Model ID #%u\n", static_cast<unsigned>(id));
        return nullptr;
    }
    if (entry->loadCount > 0 && entry->model != nullptr) {
        ++entry->loadCount;
        return entry->model;
    }
    ModelData* model = LoadModelData(entry->path);
    if (model == nullptr) {
        Message(kLogWarn, "CModel->Get: Model %u File cannot be loaded (%s)\n", static_cast<unsigned>(id),
                entry->path);
        return nullptr;
    }
    entry->model = model;
    entry->loadCount = 1;
    return model;
}

ModelData* CModel::LoadModelData(const char* path) {
    std::uint32_t size = 0;
    std::uint8_t* data = velmar::LoadFileData(path, &size);
    if (data == nullptr || size == 0) {
        Message(kLogWarn, "CModel => LoadlModelData: IO Read error on '%s'", path);
        release(data);
        return nullptr;
    }
    ModelLoadOptions options;
    options.optimise = m_optimise != 0;
    options.textures = m_textures;
    options.clock = m_clock();
    ModelData* model = parseModelData(data, size, path, options);
    release(data);
    if (model != nullptr && m_optimise)
        for (std::uint32_t m = 0; m < model->meshCount; ++m) compileModelMesh(*model, m);
    return model;
}

std::uint32_t CModel::loadCount(std::int32_t id) const {
    const Entry* entry = static_cast<const Entry*>(m_models->db_find(id));
    return entry ? entry->loadCount : 0;
}

std::uint32_t CModel::definedCount() const { return m_models->nodeCount(); }

}  // namespace velmar
