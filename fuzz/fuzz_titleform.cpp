// Fuzzer of the title derivation. The input up to its first NUL is a path of any length;
// it goes through title_work_copy into a working buffer and through titleform into a
// title buffer, both heap blocks of exactly TITLE_BUFFER_SIZE bytes, so the address
// sanitizer sees a write or read of even one byte past either. The title must match the
// plain reference derivation on the last TITLE_PATH_MAX characters of the path (the
// whole path when it is no longer), and so must the changed working path; nothing past
// the texts' terminators may be written.

#include "memstream.h"
#include "title_reference.h"
#include "titleform.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Filled into both buffers beforehand: bytes past what the routines write keep it.
constexpr char kUntouched = '\xa5';

bool untouched_from(const char *buffer, size_t from) {
  for (size_t i = from; i < TITLE_BUFFER_SIZE; ++i) {
    if (buffer[i] != kUntouched)
      return false;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *bytes = reinterpret_cast<const char *>(data);
  std::string path(bytes, strnlen(bytes, size));

  std::unique_ptr<char[]> work(new char[TITLE_BUFFER_SIZE]);
  std::unique_ptr<char[]> title(new char[TITLE_BUFFER_SIZE]);
  std::memset(work.get(), kUntouched, TITLE_BUFFER_SIZE);
  std::memset(title.get(), kUntouched, TITLE_BUFFER_SIZE);

  title_work_copy(work.get(), path.c_str());
  std::string kept =
      path.size() > TITLE_PATH_MAX ? path.substr(path.size() - TITLE_PATH_MAX) : path;
  FUZZ_CHECK(std::strcmp(work.get(), kept.c_str()) == 0);
  FUZZ_CHECK(untouched_from(work.get(), kept.size() + 1));

  titleform(work.get(), title.get());
  size_t changed = strnlen(work.get(), TITLE_BUFFER_SIZE);
  size_t title_length = strnlen(title.get(), TITLE_BUFFER_SIZE);
  FUZZ_CHECK(changed < TITLE_BUFFER_SIZE && title_length < TITLE_BUFFER_SIZE);
  FUZZ_CHECK(title_length <= changed);
  FUZZ_CHECK(untouched_from(work.get(), std::max(kept.size(), changed) + 1));
  FUZZ_CHECK(untouched_from(title.get(), title_length + 1));

  ReferenceTitle expected = reference_title(kept);
  FUZZ_CHECK(expected.path == work.get());
  FUZZ_CHECK(expected.title == title.get());
  return 0;
}
