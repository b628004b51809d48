#pragma once

// The collection as the web remote searches it: every list and song of the master list
// with its display title (as titleform derives it), held compactly (one block of text and
// small fixed records, never the paths) so that 99,999 songs fit in a few MiB and a search
// over all of them takes a few milliseconds.

#include <cstdint>
#include <string>
#include <vector>

struct SearchEntry {
  int device = 0;
  int list = 0;
  int song = 0; // 0: a list
  std::string title;
  std::string list_title; // a song's list's title; a list's own title again
};

// The master list an index was read from, held open: a list replaced since (a rescan)
// leaves the lines of the one indexed readable until the index is loaded again.
class IndexedList {
public:
  IndexedList() = default;
  explicit IndexedList(int fd) : fd_(fd) {}
  IndexedList(IndexedList &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  IndexedList &operator=(IndexedList &&other) noexcept;
  IndexedList(const IndexedList &) = delete;
  IndexedList &operator=(const IndexedList &) = delete;
  ~IndexedList();
  int fd() const { return fd_; }

private:
  int fd_ = -1;
};

struct SearchIndex {
  // Entries in the master list's order: the folded titles in one block (`text`, each
  // ended by a NUL) and a small record each. The titles themselves are not kept: an
  // entry's title is made again from its line of the master list when it is asked for.
  std::string text;
  struct Record {
    std::uint32_t line;   // offset of the entry's line in the master list
    std::uint32_t folded; // offset of the folded title in `text`
    std::int32_t device;
    std::int32_t list;
    std::int32_t song;
  };
  std::vector<Record> records;
  std::vector<std::string> device_roots; // index: device number - 1
  IndexedList file;
};

// Reads the master list at `path` (/tmp/MPL); false (index left empty) when it cannot be
// read. Devices, lists and songs are all kept; hidden lists too, as the catalogue does.
bool load_search_index(const char *path, SearchIndex &index);

// The entries whose titles contain every word of `query` (blank-separated; matched without
// regard to case, accents of Latin letters and punctuation), lists and songs in the master
// list's order: `count` of them from the `from`-th, and in *total how many match in all.
// An empty query matches nothing.
std::vector<SearchEntry> search(const SearchIndex &index, const std::string &query, size_t from,
                                size_t count, size_t *total);

// The entry at an address (song 0: the list), false when the index has none.
bool find_entry(const SearchIndex &index, int device, int list, int song, SearchEntry &entry);

// The root folder of a device ("" when unknown) and the path of a song ("" when unknown),
// read from the master list again (the index keeps no paths).
std::string device_root(const SearchIndex &index, int device);
std::string song_path(const char *mpl_path, int device, int list, int song);
