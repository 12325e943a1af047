// CModel: the manager of the world's 3D models. "./data/def/model.def" maps
// model IDs to RMDL files (the Textures.def grammar); a model is loaded on
// its first Get and kept until the manager is destroyed. With
// CompileAndOptimizeModel each mesh becomes one display list at load.
//
// The manager owns its entries, their paths and the loaded models; callers
// only borrow the ModelData that Get returns (there is no release). Surfaces
// hold CTexture references, so the manager is made after the texture
// manager and destroyed before it. Main thread only, with the main GL
// context current: loading creates textures and display lists, and drawing
// issues GL. The drawing functions below are what the scene calls per frame.
#pragma once

#include <cstdint>

#include "client/assets/model_file.h"

namespace velmar {

class CDB;

constexpr char kModelDefPath[] = "./data/def/model.def";

// --- Drawing (main thread, GL context current) ---

// The frame counter of the main loop and the timer's milliseconds, now.
ModelClock currentModelClock();

// Records mesh `index` into a new display list: its node matrix when static,
// then its triangles under its local matrix.
void compileModelMesh(ModelData& model, std::uint32_t index);

// Draws mesh `index` and the nodes under it onto the current modelview
// matrix, counting draw calls; the matrix is as before when it returns.
void drawModelMesh(ModelData& model, std::uint32_t index, const ModelClock& clock);

// The yellow wire box of the model's bounding box (Y flipped back), drawn
// with the current colour, line width and 2D texturing restored afterwards.
void drawModelBoundingBox(const ModelData& model);

// Deletes the display lists, then releases as releaseModelData does.
void releaseModel(ModelData* model, const ModelTextureHooks& textures);

// Surfaces' texture references through CTexture (no mipmaps).
ModelTextureHooks textureManagerHooks();

// --- Manager ---

class CModel {
public:
    struct Settings {
        bool optimise;         // CompileAndOptimizeModel
        bool showBoundingBox;  // ModelShowBBOX
        ModelTextureHooks textures;
        ModelClock (*clock)();  // read when a model is loaded
        const char* defPath;
    };

    // Start-up: settings from CRConf and CTexture, then the definition file.
    // A top-level file that cannot be read leaves the database empty with a
    // WARN line. A second call returns the existing manager.
    static CModel* Create();
    static CModel* Create(const Settings& settings);
    // Releases every loaded model, entry and path; null instance is ignored.
    static void Destroy();
    static CModel* instance();

    // The model of `id`, loaded on the first request; null (after a WARN
    // line) for an unknown ID or a file that cannot be loaded, which is
    // tried again next time.
    ModelData* Get(std::int32_t id);
    // Reads one model file; null after a WARN line.
    ModelData* LoadModelData(const char* path);
    // 1 once the file was read, 0 when it cannot be opened or is empty.
    int LoadDefFile(const char* path);

    bool optimise() const { return m_optimise != 0; }
    bool showBoundingBox() const { return m_showBoundingBox != 0; }
    // Requests counted for a defined ID; 0 when unknown or never loaded.
    std::uint32_t loadCount(std::int32_t id) const;
    std::uint32_t definedCount() const;

private:
    struct Entry;
    class DefSink;
    friend class DefSink;

    explicit CModel(const Settings& settings);
    ~CModel();
    CModel(const CModel&) = delete;
    CModel& operator=(const CModel&) = delete;

    void defineModel(std::int32_t id, const char* path);
    void releaseEntry(Entry* entry);

    std::uint8_t m_optimise = 0;
    std::uint8_t m_showBoundingBox = 0;
    CDB* m_models = nullptr;  // "ModelIDDB": key model ID, value Entry
    ModelTextureHooks m_textures;
    ModelClock (*m_clock)();
};

}  // namespace velmar
