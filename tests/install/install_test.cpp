// The installed jukebox: `cmake --install` into a scratch DESTDIR puts every file where
// the box expects it and nothing refers to the build; the panel library is used through
// its pkg-config file; the manual pages format cleanly and describe every option the
// programs' help shows; the Debian package passes lintian and, unpacked into a folder
// (never installed), plays the jukebox with only that folder and the system on PATH.

#include "free_port.h"
#include "installed.h"
#include "jukebox_rig.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int TIMEOUT_MS = 300000;

// Runs `script` in the sandbox and expects status 0.
std::string run_ok(Sandbox &sb, const std::string &script) {
  RunResult r = sb.run("set -e\n" + script, "", TIMEOUT_MS);
  EXPECT_EQ(r.status, 0) << script << "\n" << r.out << r.err;
  return r.out;
}

// The install below /usr into `root` (a DESTDIR), stripped as the package is.
void install_into(Sandbox &sb, const std::string &root) {
  run_ok(sb, "DESTDIR=" + shell_quote(root) + " " + shell_quote(VELM_CMAKE) + " --install " +
                 shell_quote(VELM_BUILD_DIR) + " --prefix /usr --strip >/dev/null");
}

// The files and folders below `root`, as "path mode" ("usr/bin/velm 755").
std::set<std::string> tree(const std::string &root) {
  std::set<std::string> entries;
  for (const auto &entry : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    lstat(entry.path().c_str(), &st);
    char mode[8];
    snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
    entries.insert(fs::relative(entry.path(), root).string() + (S_ISDIR(st.st_mode) ? "/ " : " ") +
                   mode);
  }
  return entries;
}

// What the install must hold below usr/ (the multiarch library folder as the build has it).
std::vector<std::string> expected_files() {
  std::vector<std::string> files;
  for (const char *program : {"velm", "velm_control", "velm_display", "velm_input", "velm_keys",
                              "velm_send", "lcdsim", "lcdpanel", "titleform", "htmlcatalog",
                              "scantree", "orderbuild", "orderquery", "entryquery"})
    files.push_back(std::string("usr/bin/") + program + " 755");
  for (const char *helper :
       {"velm_play", "playwatch", "audiopace", "velm_mixer", "nextsong.sh", "prevsong.sh",
        "nextlist.sh", "prevlist.sh", "gotolist.sh", "gotosong.sh", "pause.sh", "stop.sh",
        "changernd.sh", "changedev.sh", "playaddress.sh", "sayinfo.sh", "velm-service", "velm_web"})
    files.push_back(std::string("usr/libexec/velm/") + helper + " 755");
  std::string lib = std::string("usr/") + VELM_LIBDIR;
  files.insert(files.end(),
               {"usr/libexec/velm/velm-paths.sh 644", "usr/share/velm/keymap.example 644",
                "usr/share/man/man8/velm_input.8.gz 644", "usr/share/man/man8/velm_mixer.8.gz 644",
                lib + "/libcharpanel.a 644", lib + "/pkgconfig/charpanel.pc 644",
                "usr/include/charpanel.h 644", "usr/share/man/man1/velm.1.gz 644",
                "usr/share/man/man1/velm_keys.1.gz 644", "usr/share/man/man8/velm_control.8.gz 644",
                "usr/share/man/man8/velm_display.8.gz 644", "usr/share/man/man8/lcdpanel.8.gz 644",
                "usr/share/doc/velm/copyright 644", "usr/share/doc/velm/changelog.Debian.gz 644"});
  return files;
}

// Paths of files below `root` whose bytes hold `text`.
std::vector<std::string> files_holding(const std::string &root, const std::string &text) {
  std::vector<std::string> found;
  for (const auto &entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && !entry.is_symlink() &&
        read_file(entry.path()).find(text) != std::string::npos)
      found.push_back(fs::relative(entry.path(), root).string());
  }
  return found;
}

// The options a program's help lists: the letters of its lines "\tX\t...", "\t-X ..." or
// "  -X ...".
std::vector<char> help_options(const std::string &help) {
  std::vector<char> letters;
  size_t start = 0;
  while (start < help.size()) {
    size_t end = help.find('\n', start);
    if (end == std::string::npos)
      end = help.size();
    std::string line = help.substr(start, end - start);
    size_t at = line.rfind("\t-", 0) == 0 ? 2 : line.rfind("  -", 0) == 0 ? 3 : 1;
    if (line.size() > at + 1 && (line[0] == '\t' || at == 3) &&
        isalpha(static_cast<unsigned char>(line[at])) &&
        (line[at + 1] == '\t' || line[at + 1] == ' '))
      letters.push_back(line[at]);
    start = end + 1;
  }
  return letters;
}

// Whether a roff page describes option `letter` ("\-X" as a whole word).
bool page_has_option(const std::string &page, char letter) {
  std::string option = std::string("\\-") + letter;
  for (size_t at = page.find(option); at != std::string::npos; at = page.find(option, at + 1)) {
    char next = at + option.size() < page.size() ? page[at + option.size()] : '\n';
    if (!isalnum(static_cast<unsigned char>(next)) && next != '-')
      return true;
  }
  return false;
}

// Builds the Debian package into `folder` (inside the sandbox's scratch): its path.
std::string build_package(Sandbox &sb, const std::string &folder) {
  run_ok(sb, shell_quote(VELM_CPACK) + " -G DEB -B " + shell_quote(folder) + " --config " +
                 shell_quote(std::string(VELM_BUILD_DIR) + "/CPackConfig.cmake") + " >/dev/null");
  for (const auto &entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".deb")
      return entry.path();
  }
  ADD_FAILURE() << "no package in " << folder;
  return "";
}

} // namespace

// The package, and programs built against the installed library, are checked in the build
// for this machine (whose compiler and package tools they use), and the package is made
// from a build without the sanitizers.
#ifdef VELM_CROSS_BUILD
#define SKIP_IN_CROSS_BUILD()                                                                      \
  GTEST_SKIP() << "checked in the build for this machine, with its compiler and package tools"
#else
#define SKIP_IN_CROSS_BUILD() static_cast<void>(0)
#endif
#ifdef VELM_SANITIZED
#define SKIP_UNLESS_PACKAGE_BUILD()                                                                \
  GTEST_SKIP() << "the package is made from a build without the sanitizers"
#else
#define SKIP_UNLESS_PACKAGE_BUILD() SKIP_IN_CROSS_BUILD()
#endif

TEST(InstallTree, PutsEveryFileInItsPlaceAndNothingRefersToTheBuild) {
  Sandbox sb;
  std::string root = sb.scratch() + "/root";
  install_into(sb, root);
  std::set<std::string> installed = tree(root);
  const std::vector<std::string> expected = expected_files();
  for (const std::string &file : expected)
    EXPECT_EQ(installed.count(file), 1U) << file << " is not installed so";
  // Nothing else lands in the programs' folders: no test tool, no stand-in.
  for (const std::string &entry : installed) {
    bool folder = entry.find("/ ") != std::string::npos;
    if (!folder && (entry.rfind("usr/bin/", 0) == 0 || entry.rfind("usr/libexec/velm/", 0) == 0)) {
      EXPECT_NE(std::find(expected.begin(), expected.end(), entry), expected.end())
          << entry << " is installed but not expected";
    }
    // Only the system's usual folder and file modes.
    std::string mode = entry.substr(entry.rfind(' ') + 1);
    EXPECT_TRUE(mode == "755" || mode == "644") << entry;
  }
  EXPECT_EQ(files_holding(root, VELM_BUILD_DIR), std::vector<std::string>{});
#if defined(NDEBUG) && !defined(VELM_SANITIZED)
  // Without assertions and sanitizers (whose reports name the source files), nothing
  // names the sources either.
  EXPECT_EQ(files_holding(root, VELM_SOURCE_DIR), std::vector<std::string>{});
#endif
  // The example key map is velm_input's built-in one, which velm_input takes.
  EXPECT_EQ(read_file(root + "/usr/share/velm/keymap.example"),
            read_file(std::string(VELM_SOURCE_DIR) + "/input/keymap.example"));
  RunResult check =
      sb.run("velm_input -c -k " + shell_quote(root + "/usr/share/velm/keymap.example"));
  EXPECT_EQ(check.status, 0) << check.err;
}

TEST(InstallTree, APanelProgramBuildsAgainstTheInstalledLibraryThroughPkgConfig) {
  SKIP_IN_CROSS_BUILD();
  SKIP_WITHOUT("pkg-config");
  Sandbox sb;
  std::string root = sb.scratch() + "/root";
  install_into(sb, root);
  // A program of its own with its own port seam: it records the port bytes.
  write_file(sb.scratch() + "/panel.c", R"C(#include <charpanel.h>
#include <stdio.h>
void lcd_port_out(unsigned short port, unsigned char value) { printf("%x:%02x ", port, value); }
void lcd_delay_us(unsigned int microseconds) { (void)microseconds; }
int main(void) {
  lcd_printstr(0x378, "A");
  lcd_charaddr(0x378, 2, 1);
  printf("\n");
  return 0;
}
)C");
  std::string pkg = "PKG_CONFIG_SYSROOT_DIR=" + shell_quote(root) + " PKG_CONFIG_LIBDIR=" +
                    shell_quote(root + "/usr/" + VELM_LIBDIR + "/pkgconfig") + " pkg-config";
  std::string out =
      run_ok(sb, pkg + " --modversion charpanel\n" + "cc " VELM_CONSUMER_FLAGS " -o " +
                     sb.scratch() + "/panel " + sb.scratch() + "/panel.c $(" + pkg +
                     " --cflags --libs charpanel)\n" + sb.scratch() + "/panel\n");
  // Each byte: the lines idle, then two nibbles, each strobed: 'A' to the data register,
  // then the cursor to row 1, column 2 (address 0x42) as an instruction.
  EXPECT_EQ(out, std::string(VELM_VERSION) + "\n" +
                     "378:80 378:d4 378:94 378:d1 378:91 378:80 378:cc 378:8c 378:c2 378:82 \n");
  // The flags come from the install, not from the sources or the build.
  std::string flags = run_ok(sb, pkg + " --cflags --libs charpanel");
  EXPECT_EQ(flags,
            "-I" + root + "/usr/include -L" + root + "/usr/" + VELM_LIBDIR + " -lcharpanel \n");
}

TEST(ManPages, FormatWithoutAWarning) {
  SKIP_WITHOUT("groff");
  Sandbox sb;
  std::vector<std::string> pages;
  for (const auto &entry : fs::directory_iterator(std::string(VELM_SOURCE_DIR) + "/man"))
    pages.push_back(entry.path());
  // Every program of bin/ has one (lintian checks the package for it too).
  EXPECT_GE(pages.size(), 13U);
  for (const std::string &page : pages) {
    RunResult r = sb.run("groff -man -ww -z " + shell_quote(page) + " 2>&1");
    EXPECT_EQ(r.status, 0) << page;
    EXPECT_EQ(r.out, "") << page;
  }
}

TEST(ManPages, DescribeEveryOptionTheHelpShows) {
  Sandbox sb;
  struct Page {
    const char *program;
    const char *page;
    size_t least; // options the help shows at least
  };
  for (const Page &p : {Page{"velm", "velm.1", 9}, Page{"velm_control", "velm_control.8", 2},
                        Page{"velm_display", "velm_display.8", 4},
                        Page{"lcdpanel", "lcdpanel.8", 3}, Page{"velm_input", "velm_input.8", 5}}) {
    RunResult r = sb.run(std::string(p.program) + " -h");
    EXPECT_EQ(r.status, 0) << p.program << r.err;
    std::vector<char> options = help_options(r.out);
    EXPECT_GE(options.size(), p.least) << p.program << " -h:\n" << r.out;
    std::string page = read_file(std::string(VELM_SOURCE_DIR) + "/man/" + p.page);
    for (char letter : options)
      EXPECT_TRUE(page_has_option(page, letter)) << p.page << " lacks -" << letter;
  }
}

TEST(Package, LintianFindsNoErrorOrWarning) {
  SKIP_UNLESS_PACKAGE_BUILD();
  SKIP_WITHOUT("lintian");
  SKIP_WITHOUT("dpkg-deb");
  Sandbox sb;
  std::string deb = build_package(sb, sb.scratch() + "/package");
  ASSERT_FALSE(deb.empty());
  EXPECT_EQ(fs::path(deb).filename().string(),
            std::string("velm_") + VELM_VERSION + "-1_" + VELM_DEB_ARCH + ".deb");
  RunResult lint = sb.run("HOME=" + sb.scratch() + " lintian --fail-on error,warning " +
                              shell_quote(deb) + " 2>&1",
                          "", TIMEOUT_MS);
  EXPECT_EQ(lint.status, 0) << lint.out;
  EXPECT_EQ(lint.out.find("E: "), std::string::npos) << lint.out;
  EXPECT_EQ(lint.out.find("W: "), std::string::npos) << lint.out;

  std::string control = run_ok(sb, "dpkg-deb -f " + shell_quote(deb) + " Depends Recommends");
  for (const char *dependency :
       {"libc6 (>=", "libmicrohttpd", "libmpg123", "mpg123", "adduser", "espeak-ng", "alsa-utils"})
    EXPECT_NE(control.find(dependency), std::string::npos) << dependency << "\n" << control;
  // Every file under /etc is a conffile, and the maintainer scripts are there.
  std::string contents = run_ok(sb, "dpkg-deb -c " + shell_quote(deb) +
                                        " | awk '{print $6}' | sed -n 's,^\\./etc/,/etc/,p' | "
                                        "grep -v '/$' || true");
  std::string info = sb.scratch() + "/control";
  run_ok(sb, "dpkg-deb -e " + shell_quote(deb) + " " + shell_quote(info));
  std::string conffiles = fs::exists(info + "/conffiles") ? read_file(info + "/conffiles") : "";
  EXPECT_EQ(conffiles, contents);
  for (const char *script : {"postinst", "prerm", "postrm"})
    EXPECT_TRUE(fs::exists(info + "/" + script)) << script;
  // Every override says why, on the comment line before it.
  std::string overrides =
      read_file(std::string(VELM_SOURCE_DIR) + "/packaging/debian/lintian-overrides");
  std::string previous;
  size_t start = 0;
  while (start < overrides.size()) {
    size_t end = overrides.find('\n', start);
    std::string line = overrides.substr(start, end - start);
    if (!line.empty() && line[0] != '#') {
      EXPECT_EQ(previous.rfind("# ", 0), 0U) << "no reason given for: " << line;
    }
    previous = line;
    start = end == std::string::npos ? overrides.size() : end + 1;
  }
}

TEST(Package, TheUnpackedJukeboxPlaysWithOnlyItsOwnFoldersOnPath) {
  SKIP_UNLESS_PACKAGE_BUILD();
  SKIP_WITHOUT("dpkg-deb");
  SKIP_WITHOUT("mpg123");
  SKIP_WITHOUT("lame");
  Sandbox sb;
  std::string deb = build_package(sb, sb.scratch() + "/package");
  ASSERT_FALSE(deb.empty());
  std::string root = sb.scratch() + "/root";
  run_ok(sb, "dpkg-deb -x " + shell_quote(deb) + " " + shell_quote(root));
  std::string port = std::to_string(free_port());
  // The sample songs are made with the build's tune maker; then only the unpacked tree
  // and the system remain on PATH.
  std::string script = jukebox_collection(20, "dev1/A dev1/B dev2/C") +
                       "PATH=" + shell_quote(root) + "/usr/bin:/usr/bin:/bin\nexport PATH\n" +
                       jukebox_functions() + R"SH(
wait_until() { # FILE TEXT [FROM LINE]: at most 10 s
  i=0
  while [ $i -lt 200 ] && ! tail -n "+${3:-1}" "$1" 2>/dev/null | grep -q "$2"; do
    sleep 0.05
    i=$((i + 1))
  done
}
start_jukebox -w 127.0.0.1:)SH" +
                       port +
                       R"SH( /mnt/music/dev1 /mnt/music/dev2
wait_until /tmp/PLAYSTATE "^song 1 1 1"
wait_until /tmp/player.out "^@F 40 "
mark=$(wc -l </tmp/player.out)
printf '%s\n' n "wait 0.3" | velm_keys
wait_until /tmp/PLAYSTATE "^song 1 1 2"
wait_until /tmp/player.out "^@F 40 " $((mark + 1))
tail -n "+$((mark + 1))" /tmp/player.out >/tmp/second.out
sed -n 's/^song //p' /tmp/PLAYSTATE >/tmp/chosen
for name in velm velm_display velm_control playwatch audiopace velm_web; do
  readlink "/proc/$(pgrep -x -n "$name")/exe"
done >/tmp/programs
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string log = sb.read("/tmp/velm.log") + sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << log;
  EXPECT_EQ(sb.read("/tmp/chosen"), "1 1 2\n") << log;
  // The player played both songs: the second loaded after the key and played on.
  EXPECT_NE(sb.read("/tmp/player.out").find("@F 40 "), std::string::npos) << log;
  std::string second = sb.read("/tmp/second.out");
  EXPECT_NE(second.find("@I ID3:"), std::string::npos) << log << second.substr(0, 2000);
  EXPECT_NE(second.find("@F 40 "), std::string::npos) << log << second.substr(0, 2000);
  // Each program came from the unpacked tree: the person's from usr/bin, the jukebox's
  // own from usr/libexec/velm.
  EXPECT_EQ(sb.read("/tmp/programs"),
            root + "/usr/bin/velm\n" + root + "/usr/bin/velm_display\n" + root +
                "/usr/bin/velm_control\n" + root + "/usr/libexec/velm/playwatch\n" + root +
                "/usr/libexec/velm/audiopace\n" + root + "/usr/libexec/velm/velm_web\n")
      << log;
  EXPECT_EQ(log.find("No such file"), std::string::npos) << log;
  EXPECT_EQ(log.find("not found"), std::string::npos) << log;
}
