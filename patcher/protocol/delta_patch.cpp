#include "patcher/protocol/delta_patch.h"

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <new>

namespace quillon {

namespace {

// Publishing is done once, applying by every player: a level whose patches
// are close to the smallest while a 256 MiB file still takes seconds.
constexpr int kLevel = 9;

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// The window must reach from the end of the result back into the start of
// the base for a match there to be found.
int windowLogFor(std::size_t base, std::size_t result) {
    const std::uint64_t span = static_cast<std::uint64_t>(std::max(base, result)) + 1;
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (std::uint64_t{1} << log) < span) ++log;
    return log;
}

}  // namespace

bool makeDeltaPatch(ByteView base, ByteView result, std::string* patch) {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return false;
    ZSTD_CCtx* c = cctx.get();
    const bool set = !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kLevel)) &&
                     !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1)) &&
                     !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLogFor(base.size, result.size))) &&
                     !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1)) &&
                     !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1)) &&
                     !ZSTD_isError(ZSTD_CCtx_refPrefix(c, base.data, base.size));
    if (!set) return false;
    patch->resize(ZSTD_compressBound(result.size));
    const std::size_t written = ZSTD_compress2(c, patch->data(), patch->size(), result.data, result.size);
    if (ZSTD_isError(written)) return false;
    patch->resize(written);
    return true;
}

bool applyDeltaPatch(ByteView base, ByteView patch, std::uint64_t resultSize, PatchedBytes* result) {
    *result = PatchedBytes{};
    if (ZSTD_getFrameContentSize(patch.data, patch.size) != resultSize ||
        ZSTD_findFrameCompressedSize(patch.data, patch.size) != patch.size || resultSize > SIZE_MAX)
        return false;
    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) return false;
    // The whole result is one buffer, so the window costs no memory of its own.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                                                  ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), base.data, base.size)))
        return false;
    // Not value-initialised: the pages the decoder does not reach cost nothing.
    const auto size = static_cast<std::size_t>(resultSize);
    std::unique_ptr<std::uint8_t[]> out(new (std::nothrow) std::uint8_t[size ? size : 1]);
    if (!out) return false;  // the whole file is fetched instead
    const std::size_t got = ZSTD_decompressDCtx(dctx.get(), out.get(), size, patch.data, patch.size);
    if (ZSTD_isError(got) || got != resultSize) return false;
    result->data = std::move(out);
    result->size = size;
    return true;
}

}  // namespace quillon
