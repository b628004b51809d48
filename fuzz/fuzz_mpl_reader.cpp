// Differential fuzzer of the master list reader: the same bytes are read by
// mpl_read_entry and by the C library's fscanf with the pattern the reader implements,
// both in the reading loop every tool uses. The numbers are "%d" as the jukebox's
// 32-bit box converts them, on every machine: "%lld" clamped to the int range. Entries, their
// number and the stream positions after every call must agree.

#include "memstream.h"
#include "plfile.h"

#include <algorithm>
#include <climits>

#include <cstring>

namespace {

int box_int(long long n) {
  return static_cast<int>(std::clamp<long long>(n, INT_MIN, INT_MAX));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Our reader gets a small buffer of a size the input picks (1 to 64 bytes, or the
  // default), so refills land inside numbers and texts.
  size_t buffer = size > 0 && data[0] % 2 == 0 ? 1 + data[size - 1] % 64 : 0;
  MemStream ours(data, size, buffer);
  MemStream libc(data, size);
  if (ours.get() == nullptr || libc.get() == nullptr)
    return 0;

  for (;;) {
    MplEntry entry;
    std::memset(&entry, 'X', sizeof entry); // no stale terminator to lean on
    bool read = mpl_read_entry(ours.get(), &entry);

    long long device = 0;
    long long list = 0;
    long long song = 0;
    char text[PL_TEXT_MAX + 1];
    int fields =
        std::fscanf(libc.get(), "%lld%lld%lld %255[^\n]%*[^\n]", &device, &list, &song, text);

    FUZZ_CHECK(read == (fields == 4));
    FUZZ_CHECK(std::ftell(ours.get()) == std::ftell(libc.get()));
    if (!read)
      break;
    FUZZ_CHECK(entry.device == box_int(device));
    FUZZ_CHECK(entry.list == box_int(list));
    FUZZ_CHECK(entry.song == box_int(song));
    FUZZ_CHECK(std::memchr(entry.text, '\0', sizeof entry.text) != nullptr);
    FUZZ_CHECK(std::strcmp(entry.text, text) == 0);
  }
  return 0;
}
