// The LZMA SDK's own encoder and one-call decoder, for checking that our patch
// files and the SDK's streams interoperate both ways.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Encodes with the SDK encoder and the patch file settings (end marker on).
// *destLen: capacity in, stream size out. props receives the 5 property bytes.
// Returns the SDK's result code (0 = OK).
int sdkEncodePatchStream(const unsigned char* src, size_t srcLen, unsigned char* dest,
                         size_t* destLen, unsigned char props[5]);

// LzmaDecode with finish mode "end". *srcLen: available in, consumed out;
// *destLen: capacity in, produced out. *finishedWithMark is 1 when the
// decoder stopped at the end marker. Returns the SDK's result code.
int sdkDecode(const unsigned char* src, size_t* srcLen, unsigned char* dest, size_t* destLen,
              const unsigned char props[5], int* finishedWithMark);

#ifdef __cplusplus
}
#endif
