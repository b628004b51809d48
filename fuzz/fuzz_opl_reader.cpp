// Differential fuzzer of the order list reader: the same bytes are read by
// opl_read_entry and by the C library's fscanf with the pattern the reader implements,
// both in the reading loop every tool uses. Entries, their number and the stream
// positions after every call must agree.

#include "memstream.h"
#include "plfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Our reader gets a small buffer of a size the input picks (1 to 64 bytes, or the
  // default), so refills land inside numbers and texts.
  size_t buffer = size > 0 && data[0] % 2 == 0 ? 1 + data[size - 1] % 64 : 0;
  MemStream ours(data, size, buffer);
  MemStream libc(data, size);
  if (ours.get() == nullptr || libc.get() == nullptr)
    return 0;

  for (;;) {
    OplEntry entry;
    bool read = opl_read_entry(ours.get(), &entry);

    int order = 0;
    int device = 0;
    int list = 0;
    int song = 0;
    int fields = std::fscanf(libc.get(), "%d %d %d %d\n", &order, &device, &list, &song);

    FUZZ_CHECK(read == (fields == 4));
    FUZZ_CHECK(std::ftell(ours.get()) == std::ftell(libc.get()));
    if (!read)
      break;
    FUZZ_CHECK(entry.order == order);
    FUZZ_CHECK(entry.device == device);
    FUZZ_CHECK(entry.list == list);
    FUZZ_CHECK(entry.song == song);
  }
  return 0;
}
