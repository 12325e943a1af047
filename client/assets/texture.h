// CTexture: the client's texture manager. "data/def/Textures.def" numbers the
// DDS files of the world, the models and the draw front end; a texture is
// loaded and uploaded on its first Get, shared by later ones through a
// reference count, and deleted from GL when the last reference is freed.
// Texture 0 is the default: an unknown ID, or a file that cannot be used,
// gets texture 0 instead. An unknown or unusable texture 0 ends the client.
//
// The manager owns its entries and their paths; callers own only the GL names
// they got from Get, which they hand back with Free. It is a process-wide
// singleton made after the GL context exists; every call issues GL on the
// main context, so only the main thread may use it. There are no locks.
#pragma once

#include <cstdint>
#include <string>

namespace velmar {

class CDB;

constexpr char kTextureDefPath[] = "data/def/Textures.def";
// Get flags: the lowest byte 1 asks for sampling without mipmaps.
constexpr std::uint32_t kTextureNoMipmaps = 1;

// GL sampling of one texture detail level (0 lowest .. 3 high).
struct TextureSampling {
    bool set;          // levels outside 0..3 leave the GL defaults
    int magFilter;
    int minFilter;
    int baseLevel;
};
TextureSampling textureSamplingFor(int detailLevel, bool noMipmaps);

class CTexture {
public:
    // Makes the manager and reads the definition file; a second call returns
    // the existing one.
    static CTexture* Create();
    // Deletes every texture still loaded (logging each) and the manager.
    static void Destroy();
    static CTexture* instance();

    // The GL name of texture `id`, loaded on demand, with one more reference;
    // width and height (when not null) get its size in pixels.
    unsigned Get(std::uint32_t id, float* width, float* height, std::uint32_t flags);
    // Gives back one reference of a name from Get.
    void Free(unsigned glName);

    // Reads a definition file (and what it loads) into the database: 1 once
    // the file was read, 0 when it cannot be opened or is empty.
    int LoadDefFile(const char* path);

    // Bytes and levels of every texture in GL; the map preparation adds the
    // lightmaps it uploads itself, the statistics overlay reads the sums.
    std::uint64_t textureBytes() const { return m_textureBytes; }
    std::uint32_t textureLevels() const { return m_textureLevels; }
    void addUploaded(std::uint64_t bytes, std::uint32_t levels);
    void removeUploaded(std::uint64_t bytes, std::uint32_t levels);

    bool alwaysHighRes() const { return m_alwaysHighRes != 0; }
    int maxTextureSize() const { return m_maxTextureSize; }
    // References held on a loaded texture; 0 when the ID is unknown or unloaded.
    std::uint32_t referenceCount(std::int32_t id) const;

private:
    struct Entry;
    class DefSink;
    friend class DefSink;

    CTexture();
    ~CTexture();
    CTexture(const CTexture&) = delete;
    CTexture& operator=(const CTexture&) = delete;

    void defineTexture(std::int32_t id, const std::string& path);
    int LoadTextureFromFS(Entry* entry, bool noMipmaps);
    bool uploadTexture(Entry* entry, const std::uint8_t* data, std::uint32_t size,
                       bool noMipmaps);
    [[noreturn]] void defaultTextureFailed(const char* message);

    std::uint64_t m_textureBytes = 0;
    std::uint32_t m_textureLevels = 0;
    std::uint8_t m_alwaysHighRes = 0;
    CDB* m_textures = nullptr;     // key: texture ID
    CDB* m_gfxTextures = nullptr;  // key: GL name; the loaded entries only
    int m_maxTextureSize = 0;
};

}  // namespace velmar
