#include "tests/shared/lzma_sdk_interop.h"

#include <stdlib.h>

#include <lzma/LzmaDec.h>
#include <lzma/LzmaEnc.h>

static void* sdkAlloc(void* p, size_t size) {
    (void)p;
    return malloc(size);
}

static void sdkFree(void* p, void* address) {
    (void)p;
    free(address);
}

static ISzAlloc g_alloc = {sdkAlloc, sdkFree};

int sdkEncodePatchStream(const unsigned char* src, size_t srcLen, unsigned char* dest,
                         size_t* destLen, unsigned char props[5]) {
    CLzmaEncProps p;
    LzmaEncProps_Init(&p);
    p.level = 9;
    p.dictSize = 0x04000000;
    p.fb = 273;
    p.lc = 3;
    p.lp = 0;
    p.pb = 2;
    p.algo = 1;
    p.btMode = 1;
    p.numHashBytes = 4;
    p.mc = 16 + 273 / 2;
    p.writeEndMark = 1;
    p.numThreads = 1;
    SizeT outLen = *destLen;
    SizeT propsSize = LZMA_PROPS_SIZE;
    const SRes res =
        LzmaEncode(dest, &outLen, src, srcLen, &p, props, &propsSize, 1, NULL, &g_alloc, &g_alloc);
    *destLen = outLen;
    return res == SZ_OK && propsSize != LZMA_PROPS_SIZE ? SZ_ERROR_PARAM : res;
}

int sdkDecode(const unsigned char* src, size_t* srcLen, unsigned char* dest, size_t* destLen,
              const unsigned char props[5], int* finishedWithMark) {
    SizeT inLen = *srcLen;
    SizeT outLen = *destLen;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    const SRes res = LzmaDecode(dest, &outLen, src, &inLen, props, LZMA_PROPS_SIZE, LZMA_FINISH_END,
                                &status, &g_alloc);
    *srcLen = inLen;
    *destLen = outLen;
    *finishedWithMark = status == LZMA_STATUS_FINISHED_WITH_MARK;
    return res;
}
