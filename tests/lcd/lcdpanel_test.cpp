// The panel driver with the controller model in place of the port: for the same bytes,
// the panel shows the same two rows as the screen model and the simulator.

#include "charpanel.h"
#include "hd44780_model.h"
#include "lcdscreen.h"
#include "lcdview.h"
#include "paneldrive.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>

namespace {

std::unique_ptr<Hd44780Model> model;
long port_writes = 0;
long wrong_port_writes = 0;
unsigned short expected_port = 0x378;

constexpr int TIMEOUT_MS = 60000;

class LcdPanel : public ::testing::Test {
protected:
  void SetUp() override { fresh(); }

  // A panel just powered on, and a driver just started.
  void fresh() {
    model = std::make_unique<Hd44780Model>();
    port_writes = wrong_port_writes = 0;
    screen = LcdScreen();
    panel = PanelDrive();
    panel.port = expected_port = 0x278;
  }
  void TearDown() override { model.reset(); }

  // Feeds bytes in reads of `chunk` and checks after each that the panel shows what the
  // screen model does.
  void feed_in_step(const std::string &bytes, size_t chunk) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      panel_drive_feed(panel, screen, bytes.data() + at, std::min(chunk, bytes.size() - at));
      for (int row = 0; row < 2; ++row)
        ASSERT_EQ(model->row(row), lcd_screen_row(screen, row))
            << "row " << row << " after byte " << at + chunk;
    }
  }

  PanelDrive panel;
  LcdScreen screen;
};

std::string pad(const std::string &text) {
  return (text + std::string(24, ' ')).substr(0, 24);
}

// The panel's frames as lcdsim makes them: the panel's rows when an escape sequence
// begins and at the end, where they differ from the frame before.
std::string panel_frames(const std::string &bytes) {
  PanelDrive panel;
  panel.port = expected_port;
  LcdScreen screen;
  std::string last[2] = {pad(""), pad("")};
  std::string frames;
  long count = 0;
  auto take = [&] {
    std::string rows[2] = {model->row(0), model->row(1)};
    if (rows[0] == last[0] && rows[1] == last[1])
      return;
    last[0] = rows[0];
    last[1] = rows[1];
    frames += lcd_frame_text(++count, rows[0], rows[1]);
  };
  size_t start = 0;
  for (size_t at = 1; at <= bytes.size(); ++at) {
    if (at == bytes.size() || bytes[at] == '\033') {
      panel_drive_feed(panel, screen, bytes.data() + start, at - start);
      take();
      start = at;
    }
  }
  return frames;
}

} // namespace

extern "C" void lcd_port_out(unsigned short port, unsigned char value) {
  ++port_writes;
  wrong_port_writes += port != expected_port;
  if (model)
    model->port_write(value);
}

extern "C" void lcd_delay_us(unsigned int /*microseconds*/) {}

TEST_F(LcdPanel, ShowsWhatTheScreenShowsForAnyStream) {
  // Bar glyphs, bytes from 128 up, text beyond the row, rows the panel lacks, broken and
  // unknown sequences, a clear and a start.
  const std::string bytes = "\033R\033K\033p00,0\xff\xff\xff||\xe9\xb0 abc\033p20,0overflowing"
                            "\033p03,7nowhere\033p0x\033Zq\033p00,1" +
                            std::string(30, '\xff') + "\033p05,1\t\r\nmid\033cafter\033K" +
                            "\033p00,11/002/03 PLAY -03:12 all\033p00,0top";
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{16}, bytes.size()}) {
    fresh();
    feed_in_step(bytes, chunk);
    EXPECT_EQ(model->row(0), pad("top"));
    EXPECT_EQ(model->row(1), pad("1/002/03 PLAY -03:12 all"));
    EXPECT_EQ(wrong_port_writes, 0);
  }

  // The model's bar glyph is the panel's own full block.
  fresh();
  feed_in_step("\033p00,0\xff", 8);
  EXPECT_EQ(static_cast<unsigned char>(model->row(0)[0]), PANEL_FULL_BLOCK);
  EXPECT_TRUE(model->four_bit() && model->two_lines() && model->display_on());
}

TEST_F(LcdPanel, WritesOnlyWhatChangesAndRecoversAtAReset) {
  const std::string status = "\033p00,01/002/03 PLAY -03:12 all";
  feed_in_step(status, 1000);
  // The same row drawn again, as the daemon does five times a second: no port write.
  long before = port_writes;
  feed_in_step(status + status, 1000);
  EXPECT_EQ(port_writes, before);
  // One changed cell: one address and one character, five port writes each.
  feed_in_step("\033p00,01/002/03 PLAY -03:11 all", 1000);
  EXPECT_EQ(port_writes - before, 10);
  EXPECT_EQ(model->row(0), pad("1/002/03 PLAY -03:11 all"));

  // The panel loses its state (power cut): the display's next start, whose first byte
  // is a reset, sets it up afresh.
  model = std::make_unique<Hd44780Model>();
  feed_in_step("\033R\033K\033p00,0again\033p00,1rows", 1000);
  EXPECT_EQ(model->row(0), pad("again"));
  EXPECT_EQ(model->row(1), pad("rows"));
}

TEST_F(LcdPanel, ShowsTheSameFramesAsTheSimulatorForARealDisplayRun) {
  // The display daemon's bytes recorded in a plain file: the welcome, status lines, a long
  // title scrolling, volume and balance bars, the farewell; then the simulator's frames of
  // the recording.
  Sandbox sb;
  const std::string lines =
      "echo display_startup; echo display_setstatus PLAY 1 2 3;"
      " echo display_settime +00:01 -03:12; echo display_setrandommode all; sleep 5.8;"
      " echo display_settitle A title longer than the row is wide; sleep 3;"
      " echo display_setmode 2; echo display_setvolume 50; echo display_setbalance -50;"
      " sleep 4.8; echo display_setbalance 0; sleep 0.6";
  RunResult r = sb.run("mkfifo /tmp/fifo.display\n: >/dev/lcd\n(" + lines +
                           ") >/tmp/fifo.display &\n"
                           "velm_display -l >/dev/null 2>&1 && lcdsim -q -r /dev/lcd -f "
                           "/tmp/frames\n",
                       "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string bytes = sb.read("/dev/lcd");
  const std::string frames = sb.read("/tmp/frames");

  EXPECT_EQ(panel_frames(bytes), frames);
  // The frames cover every kind of drawing.
  for (const char *row :
       {"|                       W|", "|1/002/03 PLAY -03:12 all|", "|A title longer than the |",
        "|title longer than the ro|", "|V: 50 b:  0 t:  0 B: -50|", "|############            |",
        "|      #######           |", "|           ||           |", "|Thanx for using VELM    |",
        "|(powered by Linux!)     |"})
    EXPECT_NE(frames.find(std::string(row) + "\n"), std::string::npos) << row;

  // However the reads split the stream, the panel is in step after each.
  std::mt19937 random(8);
  size_t at = 0;
  while (at < bytes.size() && !HasFatalFailure()) {
    size_t chunk = std::uniform_int_distribution<size_t>(1, 200)(random);
    feed_in_step(bytes.substr(at, chunk), chunk);
    at += chunk;
  }
  EXPECT_EQ(wrong_port_writes, 0);
}
