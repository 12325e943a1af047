// bench_textures: what uploading DDS textures costs next to reading their
// files, on the same set in the same run. Needs a display (run it under
// xvfb-run on a machine without one).
//
//   read:    LoadFileData of every file (page cache warm)
//   upload:  header walk + glCompressedTexImage2DARB of every level + glFinish
//   manager: CTexture::Get of every texture (read and upload) and Free
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "client/assets/dds.h"
#include "client/assets/texture.h"
#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/gl/gl_ext.h"
#include "client/platform/window.h"
#include "client/storage/load_file_data.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/dds_writer.h"
#include "bench/bench_stats.h"

using namespace velmar;
using bench::Clock;
using bench::median;
using bench::msSince;

namespace {

constexpr int kRounds = 7;

struct TextureFile {
    std::string path;
    std::uint32_t bytes;
};

// 16 ground-sized textures of 512 x 512 and 4 of 1024 x 1024, full chains,
// DXT1 and DXT5 alternating.
std::vector<TextureFile> makeTextures(const std::string& dir) {
    std::vector<TextureFile> files;
    for (int i = 0; i < 20; ++i) {
        const int side = i < 16 ? 512 : 1024;
        contentkit::DdsOptions options;
        options.format = i % 2 ? contentkit::DxtFormat::Dxt5 : contentkit::DxtFormat::Dxt1;
        options.highQuality = false;
        const contentkit::Image image = i % 3 ? contentkit::makeGrass(side, side, i)
                                              : contentkit::makeRock(side, side, i);
        contentkit::Bytes bytes;
        std::string error;
        if (!contentkit::writeDds(image, options, &bytes, &error)) {
            std::fprintf(stderr, "bench_textures: %s\n", error.c_str());
            return {};
        }
        const std::string path = dir + "/data/tex/t" + std::to_string(i) + ".dds";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        files.push_back({path, static_cast<std::uint32_t>(bytes.size())});
    }
    return files;
}

double readRound(const std::vector<TextureFile>& files) {
    const Clock::time_point t0 = Clock::now();
    for (const TextureFile& file : files) {
        std::uint32_t size = 0;
        release(LoadFileData(file.path.c_str(), &size));
    }
    return msSince(t0);
}

double uploadRound(const std::vector<std::uint8_t*>& data, const std::vector<TextureFile>& files) {
    std::vector<GLuint> names(files.size());
    const Clock::time_point t0 = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
        DdsImage image;
        if (readDds(data[i], files[i].bytes, &image) != DdsStatus::Ok) continue;
        glGenTextures(1, &names[i]);
        glBindTexture(GL_TEXTURE_2D, names[i]);
        uploadDds(image, data[i], nullptr, nullptr);
    }
    glFinish();
    const double ms = msSince(t0);
    glDeleteTextures(static_cast<GLsizei>(names.size()), names.data());
    glFinish();
    return ms;
}

double managerRound(CTexture* textures, std::size_t count) {
    std::vector<unsigned> names;
    const Clock::time_point t0 = Clock::now();
    for (std::size_t i = 0; i < count; ++i) names.push_back(textures->Get(static_cast<std::uint32_t>(i), nullptr, nullptr, 0));
    glFinish();
    const double ms = msSince(t0);
    for (unsigned name : names) textures->Free(name);
    glFinish();
    return ms;
}

void report(const char* what, double ms, double mib) {
    std::printf("  %-34s %9.2f ms   %8.1f MiB/s\n", what, ms, mib / (ms / 1000.0));
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/bench-textures-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    mkdir((dir + "/data").c_str(), 0755);
    mkdir((dir + "/data/def").c_str(), 0755);
    mkdir((dir + "/data/tex").c_str(), 0755);
    const std::vector<TextureFile> files = makeTextures(dir);
    if (files.empty()) return 1;
    if (!windowInit() || !windowOpen(64, 48, WindowMode::Windowed) || !GetGLExt()) {
        std::fprintf(stderr, "bench_textures: no GL window (needs a display, e.g. xvfb-run)\n");
        return 2;
    }

    double mib = 0.0;
    std::vector<std::uint8_t*> data;
    for (const TextureFile& file : files) {
        mib += file.bytes / (1024.0 * 1024.0);
        std::uint32_t size = 0;
        data.push_back(LoadFileData(file.path.c_str(), &size));
    }
    std::vector<double> read, upload, manager;
    for (int r = 0; r < kRounds; ++r) read.push_back(readRound(files));
    for (int r = 0; r < kRounds; ++r) upload.push_back(uploadRound(data, files));

    // The manager reads Textures.def from the working directory.
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd) || chdir(dir.c_str()) != 0) return 1;
    {
        std::ofstream def(kTextureDefPath, std::ios::binary);
        for (std::size_t i = 0; i < files.size(); ++i) def << i << ": " << files[i].path << "\n";
    }
    CTexture* textures = CTexture::Create();
    for (int r = 0; r < kRounds; ++r) manager.push_back(managerRound(textures, files.size()));
    CTexture::Destroy();
    if (chdir(cwd) != 0) return 1;

    std::printf("DDS textures: %zu files, %.1f MiB (16 x 512^2, 4 x 1024^2, full chains), "
                "median of %d rounds, %s\n",
                files.size(), mib, kRounds, reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    const double readMs = median(read), uploadMs = median(upload);
    report("read (LoadFileData)", readMs, mib);
    report("upload (all levels + glFinish)", uploadMs, mib);
    report("CTexture::Get (read + upload)", median(manager), mib);
    std::printf("  upload / read ratio: %.2f\n", uploadMs / readMs);

    for (std::uint8_t* block : data) release(block);
    windowTerminate();
    for (const TextureFile& file : files) std::remove(file.path.c_str());
    std::remove((dir + "/" + kTextureDefPath).c_str());
    for (const char* sub : {"/data/def", "/data/tex", "/data", ""}) rmdir((dir + sub).c_str());
    return 0;
}
