#pragma once

// A read-only stream over a private copy of the fuzzer's input, so the readers see the
// bytes exactly as they would see a file, NUL bytes included.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

class MemStream {
public:
  // With a buffer size, the stream reads that many bytes at a time, so lines cross
  // buffer boundaries everywhere.
  MemStream(const uint8_t *data, size_t size, size_t buffer = 0) : bytes_(size + 1) {
    if (size > 0)
      std::memcpy(bytes_.data(), data, size);
    fp_ = fmemopen(bytes_.data(), size, "r");
    if (fp_ != nullptr && buffer > 0)
      setvbuf(fp_, nullptr, _IOFBF, buffer);
  }
  MemStream(const MemStream &) = delete;
  MemStream &operator=(const MemStream &) = delete;
  ~MemStream() {
    if (fp_ != nullptr)
      fclose(fp_);
  }

  FILE *get() const { return fp_; }

private:
  std::vector<char> bytes_; // one spare byte, so the buffer is never empty
  FILE *fp_ = nullptr;
};

// Stops the run at the first disagreement; the fuzzer reports it as a crash.
#define FUZZ_CHECK(cond)                                                                           \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);               \
      __builtin_trap();                                                                            \
    }                                                                                              \
  } while (0)
