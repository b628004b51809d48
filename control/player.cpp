#include "control.h"
#include "convert.h"
#include "daemon.h"
#include "paths.h"

#include <cstdio>
#include <cstring>

namespace {

// Fixed text of the jukebox's protocol, handed to the shell as it stands.
constexpr char STARTUP_STATUS_COMMAND[] = "echo startup >/tmp/STATUS";
static_assert(redirects_to(STARTUP_STATUS_COMMAND, STATUS_PATH));

// A script-running operation: traces its word, then runs the script.
struct ScriptCommand {
  const char *word;
  const char *script;
};

// The number after a numeric command word: any white space, then 1 to max_digits
// digits (the rest of the line is ignored). False when no digit follows.
bool numeric_argument(const char *line, const char *word, int max_digits, int *value) {
  size_t length = strlen(word);
  if (strncmp(line, word, length) != 0)
    return false;
  const char *p = line + length;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
    ++p;
  char digits[17];
  int n = 0;
  while (n < max_digits && p[n] >= '0' && p[n] <= '9') {
    digits[n] = p[n];
    ++n;
  }
  if (n == 0)
    return false;
  digits[n] = '\0';
  *value = parse_atoi(digits);
  return true;
}

// Runs a command line through the shell and waits for it; its exit status is not looked
// at. Lines written so far go out first, so the script's own output to the player comes
// after them.
void run(const char *command) {
  ipc_flush();
  shell_run(command);
}

void player_stop() {
  debug_trace("player_stop");
  run("stop.sh");
}

void player_jump(int frames) {
  debug_trace("player_jump");
  if (frames == 0)
    return;
  char line[32];
  snprintf(line, sizeof line, frames < 0 ? "JUMP %i" : "JUMP +%i", frames);
  debug_trace(line);
  ipc_write_player(line);
}

void player_jumpto(int frame) {
  debug_trace("player_jumpto");
  if (frame == 0)
    return;
  char line[32];
  snprintf(line, sizeof line, "JUMP %i", frame);
  ipc_write_player(line);
}

void player_goto(const char *word, const char *script, int number) {
  debug_trace(word);
  char command[64];
  snprintf(command, sizeof command, "%s %d", script, number);
  run(command);
}

void player_startup() {
  debug_trace("player_startup");
  run(STARTUP_STATUS_COMMAND);
  player_stop();
  player_jumpto(saved_frame());
}

void player_restart() {
  debug_trace("player_restart");
  ipc_reopen_player();
  run(STARTUP_STATUS_COMMAND);
  debug_trace("player_nextsong");
  run("nextsong.sh");
  player_stop();
}

} // namespace

void dispatch(const char *line) {
  // Exact rows fire when the whole line is the word.
  static const ScriptCommand scripts_before_jumps[] = {
      {"player_stop", "stop.sh"},           {"player_pause", "pause.sh"},
      {"player_changernd", "changernd.sh"}, {"player_changedev", "changedev.sh"},
      {"player_nextlist", "nextlist.sh"},   {"player_nextsong", "nextsong.sh"},
  };
  static const ScriptCommand scripts_after_jumpfw[] = {
      {"player_prevlist", "prevlist.sh"},
      {"player_prevsong", "prevsong.sh"},
  };
  static const struct {
    const char *word;
    void (*operation)();
  } mixer_commands[] = {
      {"mixer_volumeup", mixer_volumeup},       {"mixer_volumedown", mixer_volumedown},
      {"mixer_balanceleft", mixer_balanceleft}, {"mixer_balanceright", mixer_balanceright},
      {"mixer_bassup", mixer_bassup},           {"mixer_bassdown", mixer_bassdown},
      {"mixer_trebleup", mixer_trebleup},       {"mixer_trebledown", mixer_trebledown},
  };

  if (strcmp(line, "player_startup") == 0)
    return player_startup();
  if (strcmp(line, "player_restart") == 0)
    return player_restart();
  for (const ScriptCommand &c : scripts_before_jumps) {
    if (strcmp(line, c.word) == 0) {
      debug_trace(c.word);
      return run(c.script);
    }
  }
  if (strcmp(line, "player_jumpfw") == 0) {
    debug_trace("player_jumpfw");
    return player_jump(200);
  }
  for (const ScriptCommand &c : scripts_after_jumpfw) {
    if (strcmp(line, c.word) == 0) {
      debug_trace(c.word);
      return run(c.script);
    }
  }
  if (strcmp(line, "player_jumpbw") == 0) {
    debug_trace("player_jumpbw");
    return player_jump(-200);
  }
  int number;
  if (numeric_argument(line, "player_jump", 16, &number))
    return player_jump(number);
  if (numeric_argument(line, "player_jumpto", 16, &number))
    return player_jumpto(number);
  if (numeric_argument(line, "player_gotolist", 4, &number))
    return player_goto("player_gotolist", "gotolist.sh", number);
  if (numeric_argument(line, "player_gotosong", 4, &number))
    return player_goto("player_gotosong", "gotosong.sh", number);
  if (strcmp(line, "player_sayinfo") == 0)
    return run("sayinfo.sh");
  for (const auto &c : mixer_commands) {
    if (strcmp(line, c.word) == 0)
      return c.operation();
  }
}
