/* Sample content shared by the zelktest capture device and the tests that
 * predict what it delivers. Plain C so both sides compile the same code. */
#ifndef ZELKTEST_PATTERN_H
#define ZELKTEST_PATTERN_H

#include <stdint.h>

/* The "ramp" pattern: the sample of `channel` at content frame `frame`, as a
 * signed value of 8 * bytesPerSample bits (1 to 4 bytes).
 *
 * The step touches every byte of a 24-bit sample, so a dropped or misordered
 * byte shows; the channels start far apart so they never hold the same value
 * at the same frame, and the values wrap through negative ones within a few
 * dozen frames so sign handling is exercised too. */
static inline int32_t zelktest_ramp(uint64_t frame, int channel,
                                    int bytesPerSample) {
  const int bits = 8 * bytesPerSample;
  const uint32_t mask = bits >= 32 ? 0xffffffffu : ((1u << bits) - 1u);
  uint32_t u = (uint32_t)(frame * 0x01020305u) + 0x00123456u +
               (uint32_t)channel * 0x00937173u;
  u &= mask;
  if (bits < 32 && (u & (1u << (bits - 1)))) u |= ~mask;
  return (int32_t)u;
}

/* Stores the low `bytes` bytes of `value` little-endian. */
static inline void zelktest_put_le(uint8_t* dst, int32_t value, int bytes) {
  uint32_t u = (uint32_t)value;
  for (int i = 0; i < bytes; i++) dst[i] = (uint8_t)(u >> (8 * i));
}

/* Reads a little-endian signed sample of `bytes` bytes. */
static inline int32_t zelktest_get_le(const uint8_t* src, int bytes) {
  uint32_t u = 0;
  for (int i = 0; i < bytes; i++) u |= (uint32_t)src[i] << (8 * i);
  if (bytes < 4 && (u & (1u << (8 * bytes - 1)))) u |= ~0u << (8 * bytes);
  return (int32_t)u;
}

#endif
