// edk2-brotli-check FILE.ffs OUT [--least-scratch]
//
// Decodes the GUID-defined section that opens the firmware file FILE.ffs
// with EDK2's BrotliCustomDecompressLib (its own sources, built with
// glue.c) and writes the unpacked bytes to OUT. Prints the section's
// attributes and data offset and the sizes the library's GetInfo read; with
// --least-scratch also the least scratch size (as the header would state
// it) the decode succeeds with. Exit status: 0 decoded; 1 the library
// failed or asserted, or wrote past the output; 2 bad input.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "glue.h"

#define GUARD_BYTE 0xA5

static int probing;  // --least-scratch: an ASSERT ends the try, not the run
static jmp_buf probe;

void HostAssert(const char *file, unsigned long line, const char *description) {
  if (probing) longjmp(probe, 1);
  fprintf(stderr, "edk2-brotli-check: ASSERT %s(%lu): %s\n", file, line, description);
  exit(1);
}

// The output and the scratch buffer of the decode under way, freed after a
// try that an ASSERT ended.
static void *live[2];

void *HostAllocate(unsigned long size, unsigned long guard) {
  unsigned char *p = malloc(size + guard + 1);
  if (!p) {
    fprintf(stderr, "edk2-brotli-check: out of memory for %lu bytes\n", size);
    exit(1);
  }
  memset(p + size, GUARD_BYTE, guard);
  live[live[0] ? 1 : 0] = p;
  return p;
}

void HostFree(void *p) {
  for (int i = 0; i < 2; i++)
    if (live[i] == p) live[i] = NULL;
  free(p);
}

static unsigned char *ReadAll(const char *path, size_t *n) {
  FILE *f = fopen(path, "rb");
  if (!f) return NULL;
  size_t cap = 1 << 20, len = 0;
  unsigned char *buf = malloc(cap);
  for (size_t got; buf && (got = fread(buf + len, 1, cap - len, f)) > 0;) {
    len += got;
    if (len == cap) buf = realloc(buf, cap *= 2);
  }
  fclose(f);
  *n = len;
  return buf;
}

static unsigned Get24(const unsigned char *p) { return p[0] | p[1] << 8 | (unsigned)p[2] << 16; }
static unsigned Get32(const unsigned char *p) { return Get24(p) | (unsigned)p[3] << 24; }

// One decode with the scratch size in the header set to scratch (patched in
// a copy of the section); 1 when it succeeds and matches want.
static int DecodesWith(const unsigned char *section, size_t n, unsigned offset, unsigned scratch,
                       const unsigned char *want, unsigned size) {
  unsigned char *copy = malloc(n);
  memcpy(copy, section, n);
  for (int i = 0; i < 8; i++) copy[offset + 8 + i] = i < 4 ? (unsigned char)(scratch >> (8 * i)) : 0;
  struct Edk2Extracted e;
  volatile int ok = 0;
  probing = 1;
  if (setjmp(probe) == 0) {
    ok = Edk2ExtractSection(copy, &e) == 0 && e.status == 0 && e.size == size &&
         memcmp(e.data, want, size) == 0;
    HostFree(e.data);
  } else {
    for (int i = 0; i < 2; i++) HostFree(live[i]);
  }
  probing = 0;
  free(copy);
  return ok;
}

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4 || (argc == 4 && strcmp(argv[3], "--least-scratch") != 0)) {
    fprintf(stderr, "usage: edk2-brotli-check FILE.ffs OUT [--least-scratch]\n");
    return 2;
  }
  size_t n = 0;
  unsigned char *file = ReadAll(argv[1], &n);
  if (!file) {
    fprintf(stderr, "edk2-brotli-check: cannot read %s\n", argv[1]);
    return 2;
  }
  // The firmware file's header (32 bytes for a large file, attribute 0x01),
  // then the section, its size in the section's own header.
  size_t header = n >= 24 && (file[0x13] & 0x01) ? 32 : 24;
  size_t fileSize = n >= 32 && header == 32 ? Get32(file + 24) : (n >= 24 ? Get24(file + 20) : 0);
  if (n < header + 4 || fileSize > n) {
    fprintf(stderr, "edk2-brotli-check: %s is not a whole firmware file\n", argv[1]);
    return 2;
  }
  const unsigned char *section = file + header;
  size_t sectionSize = Get24(section);
  if (sectionSize == 0xFFFFFF && header + 8 <= fileSize) sectionSize = Get32(section + 4);
  if (sectionSize < 4 || header + sectionSize > fileSize) {
    fprintf(stderr, "edk2-brotli-check: the first section of %s does not fit in it\n", argv[1]);
    return 2;
  }

  struct Edk2Extracted e;
  int taken = Edk2ExtractSection(section, &e);
  if (taken != 0) {
    fprintf(stderr, "edk2-brotli-check: no Brotli GUID-defined section opens %s (%d)\n", argv[1], taken);
    return 2;
  }
  printf("attributes 0x%X data-offset 0x%X unpacked 0x%X scratch 0x%X\n", e.attributes, e.dataOffset,
         e.size, e.scratchSize);
  if (e.status != 0) {
    fprintf(stderr, "edk2-brotli-check: the decoder returned 0x%lX\n", e.status);
    return 1;
  }
  for (unsigned i = 0; i < OUTPUT_GUARD; i++)
    if (e.data[e.size + i] != GUARD_BYTE) {
      fprintf(stderr, "edk2-brotli-check: the decoder wrote past the 0x%X bytes the header gives\n", e.size);
      return 1;
    }
  FILE *out = fopen(argv[2], "wb");
  if (!out || fwrite(e.data, 1, e.size, out) != e.size || fclose(out) != 0) {
    fprintf(stderr, "edk2-brotli-check: cannot write %s\n", argv[2]);
    return 2;
  }
  unsigned char *unpacked = malloc(e.size + 1);
  memcpy(unpacked, e.data, e.size);
  HostFree(e.data);
  if (argc == 4) {
    // The decode's need only grows with the scratch it is given: a binary
    // search between nothing and the stated size.
    unsigned lo = 0, hi = e.scratchSize;
    while (lo < hi) {
      unsigned mid = lo + (hi - lo) / 2;
      if (DecodesWith(section, sectionSize, e.dataOffset, mid, unpacked, e.size))
        hi = mid;
      else
        lo = mid + 1;
    }
    printf("least scratch 0x%X\n", lo);
  }
  free(unpacked);
  free(file);
  return 0;
}
