// The golden cases of the command-line tools (tests/golden/README): each case folder's
// `cmd` runs in a private sandbox, and its standard output, standard error, exit status
// and the files it leaves in /tmp must equal the expected ones kept beside it. With
// VELM_GOLDEN_UPDATE=1 in the environment the expected files are written anew from what
// the run gave instead (tools/golden-update.sh).

#include "sandbox_run.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct GoldenCase {
  std::string tool;
  fs::path dir;
};

// The tools whose folders must hold cases: a case folder in the wrong place, or a runner
// that finds none, would otherwise pass by running nothing.
const char *const tools[] = {"scantree",   "orderbuild", "orderquery",
                             "entryquery", "titleform",  "htmlcatalog"};

const char *const case_entries[] = {"cmd", "in", "out", "err", "status", "files"};

fs::path golden_root() {
  return fs::path(source_dir()) / "tests" / "golden";
}

std::vector<fs::path> sorted_folders(const fs::path &dir) {
  std::vector<fs::path> folders;
  for (const fs::directory_entry &entry : fs::directory_iterator(dir))
    if (entry.is_directory())
      folders.push_back(entry.path());
  std::sort(folders.begin(), folders.end());
  return folders;
}

std::vector<GoldenCase> find_cases() {
  std::vector<GoldenCase> cases;
  for (const fs::path &tool : sorted_folders(golden_root()))
    for (const fs::path &dir : sorted_folders(tool))
      cases.push_back({tool.filename().string(), dir});
  return cases;
}

bool update_wanted() {
  const char *update = getenv("VELM_GOLDEN_UPDATE");
  return update != nullptr && std::string(update) == "1";
}

// Regular files under `dir`, keyed by their path below `base` ("tmp/OPL"). Links,
// folders and other kinds are not looked at.
using FileMap = std::map<std::string, std::string>;
// The folders the sandbox keeps from the host (the sources and the build, which may lie
// under /tmp) are passed over.
void collect_files(const fs::path &base, const fs::path &dir, FileMap &files) {
  std::error_code missing;
  if (!fs::is_directory(fs::symlink_status(dir, missing)))
    return;
  const fs::path kept[] = {fs::path(VELM_SOURCE_DIR).lexically_normal(),
                           fs::path(VELM_BUILD_DIR).lexically_normal()};
  for (auto entry = fs::recursive_directory_iterator(dir);
       entry != fs::recursive_directory_iterator(); ++entry) {
    fs::path inside = "/" / entry->path().lexically_relative(base);
    if (entry->is_directory() &&
        std::find(std::begin(kept), std::end(kept), inside) != std::end(kept)) {
      entry.disable_recursion_pending();
      continue;
    }
    if (entry->is_regular_file() && !entry->is_symlink())
      files[entry->path().lexically_relative(base).string()] = read_file(entry->path().string());
  }
}

// An expected file that is absent stands for empty text (and status 0).
std::string read_expected(const fs::path &path) {
  return fs::exists(path) ? read_file(path.string()) : "";
}

void write_expected(const fs::path &path, const std::string &content) {
  if (content.empty())
    fs::remove(path);
  else
    write_file(path.string(), content);
}

std::string unified_diff(const std::string &what, const std::string &want, const std::string &got) {
  Sandbox sb;
  write_file(sb.scratch() + "/want", want);
  write_file(sb.scratch() + "/got", got);
  RunResult r = sb.run("cd " + shell_quote(sb.scratch()) + " && diff -u -a --label " +
                       shell_quote(what + " (expected)") + " --label " +
                       shell_quote(what + " (actual)") + " want got");
  return r.out + r.err;
}

// What one run of a case gave, and what its folder expects.
struct Outcome {
  std::string out, err;
  int status = 0;
  FileMap files; // under tmp/, those the run made or changed
};

std::string case_script(const GoldenCase &c) {
  return "export LC_ALL=C VELM_FAKECLOCK=" + shell_quote(VELM_FAKECLOCK) + "\n. " +
         shell_quote((golden_root() / "lib.sh").string()) + "\ngolden_setup " +
         shell_quote(c.dir.string()) + "\ncd /tmp\n. " + shell_quote((c.dir / "cmd").string()) +
         "\n";
}

// Runs the case; a failed setup ends the test before anything is compared or written.
Outcome run_case(const GoldenCase &c) {
  Sandbox sb;
  RunResult r = sb.run(case_script(c), "", 60000);
  Outcome got{r.out, r.err, r.status, {}};
  if (r.status == 125 && r.err.find("golden setup:") != std::string::npos) {
    ADD_FAILURE() << r.err;
    return got;
  }
  FileMap inputs, left;
  collect_files(c.dir / "in", c.dir / "in" / "tmp", inputs);
  collect_files(fs::path(sb.path("/")), fs::path(sb.path("/tmp")), left);
  for (const auto &[path, content] : inputs) {
    if (!left.contains(path))
      ADD_FAILURE() << "the run removed " << path << ", which no expected file can say";
  }
  for (const auto &[path, content] : left) {
    auto given = inputs.find(path);
    if (given == inputs.end() || given->second != content)
      got.files[path] = content;
  }
  return got;
}

Outcome read_case(const GoldenCase &c) {
  std::string status = read_expected(c.dir / "status");
  Outcome want{read_expected(c.dir / "out"), read_expected(c.dir / "err"), 0, {}};
  auto [end, fault] = std::from_chars(status.data(), status.data() + status.size(), want.status);
  if (!status.empty() && (fault != std::errc() || std::string(end) != "\n"))
    ADD_FAILURE() << c.dir / "status"
                  << " holds no exit status: " << status;
  collect_files(c.dir / "files", c.dir / "files" / "tmp", want.files);
  return want;
}

void write_case(const GoldenCase &c, const Outcome &got) {
  write_expected(c.dir / "out", got.out);
  write_expected(c.dir / "err", got.err);
  write_expected(c.dir / "status", got.status == 0 ? "" : std::to_string(got.status) + "\n");
  fs::remove_all(c.dir / "files");
  for (const auto &[path, content] : got.files) {
    fs::create_directories((c.dir / "files" / path).parent_path());
    write_file((c.dir / "files" / path).string(), content);
  }
}

void compare(const std::string &what, const std::string &want, const std::string &got) {
  if (want != got)
    ADD_FAILURE() << what << " differs:\n" << unified_diff(what, want, got);
}

void run_golden_case(const GoldenCase &c) {
  for (const fs::directory_entry &entry : fs::directory_iterator(c.dir)) {
    std::string name = entry.path().filename().string();
    ASSERT_TRUE(std::find(std::begin(case_entries), std::end(case_entries), name) !=
                std::end(case_entries))
        << c.dir << ": " << name << " is none of cmd, in, out, err, status, files";
  }
  ASSERT_TRUE(fs::is_regular_file(c.dir / "cmd")) << c.dir << " has no cmd";
  for (const char *part : {"in", "files"}) {
    if (!fs::exists(c.dir / part))
      continue;
    for (const fs::directory_entry &entry : fs::directory_iterator(c.dir / part)) {
      std::string top = entry.path().filename().string();
      ASSERT_TRUE(top == "tmp" || (top == "mnt" && std::string(part) == "in"))
          << c.dir / part << ": only in/tmp, in/mnt and files/tmp are put in place or compared";
    }
  }

  Outcome got = run_case(c);
  if (testing::Test::HasFailure())
    return;
  if (update_wanted()) {
    write_case(c, got);
    return;
  }
  Outcome want = read_case(c);
  compare("standard output", want.out, got.out);
  compare("standard error", want.err, got.err);
  EXPECT_EQ(want.status, got.status) << "exit status";
  std::set<std::string> paths;
  for (const FileMap *files : {&want.files, &got.files})
    for (const auto &[path, content] : *files)
      paths.insert(path);
  for (const std::string &path : paths) {
    if (!got.files.contains(path) && want.files.contains(path))
      ADD_FAILURE() << "/" << path << " was expected but not left by the run";
    else if (!want.files.contains(path))
      ADD_FAILURE() << "/" << path << " was left by the run but not expected ("
                    << got.files[path].size() << " bytes):\n"
                    << got.files[path];
    else
      compare("/" + path, want.files[path], got.files[path]);
  }
}

class GoldenTest : public testing::Test {
public:
  explicit GoldenTest(GoldenCase c) : case_(std::move(c)) {}
  void TestBody() override { run_golden_case(case_); }

private:
  GoldenCase case_;
};

// Each case is a test of its own, Golden.<tool>_<case> ("-" in a folder's name becomes
// "_", since a "-" in a test filter starts the patterns to leave out).
const bool cases_registered = [] {
  for (const GoldenCase &c : find_cases()) {
    std::string name = c.tool + "_" + c.dir.filename().string();
    std::replace(name.begin(), name.end(), '-', '_');
    testing::RegisterTest("Golden", name.c_str(), nullptr, c.dir.c_str(), __FILE__, __LINE__,
                          [c]() -> testing::Test * { return new GoldenTest(c); });
  }
  return true;
}();

} // namespace

TEST(GoldenCases, EveryToolHasCases) {
  std::vector<GoldenCase> cases = find_cases();
  for (const char *tool : tools) {
    EXPECT_TRUE(std::any_of(cases.begin(), cases.end(),
                            [&](const GoldenCase &c) { return c.tool == tool; }))
        << "no golden case for " << tool;
  }
  for (const GoldenCase &c : cases) {
    EXPECT_NE(std::find(std::begin(tools), std::end(tools), c.tool), std::end(tools))
        << c.dir << " is not under the folder of a tool";
  }
}
