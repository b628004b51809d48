// The panel driver with the controller model in place of the port, on the parallel
// port's wiring or behind a PCF8574 expander model on the I2C bus: for the same bytes,
// the panel shows the same two rows as the screen model and the simulator.

#include "charpanel.h"
#include "expander.h"
#include "hd44780_model.h"
#include "lcdrom.h"
#include "lcdscreen.h"
#include "lcdview.h"
#include "paneldrive.h"
#include "pcf8574_model.h"
#include "sandbox_run.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>

namespace {

std::unique_ptr<Hd44780Model> model;
long port_writes = 0;
long wrong_port_writes = 0;
unsigned short expected_port = 0x378;

// The bus: with an expander, the port bytes go through it (as lcdpanel's own port output
// sends them) to the expander model in front of the controller model.
std::unique_ptr<ExpanderPort> expander;
std::unique_ptr<Pcf8574Model> backpack;
int failing_bus_writes = 0; // the next bus writes that fail

bool bus_write(void * /*context*/, const unsigned char *bytes, size_t length) {
  if (failing_bus_writes > 0) {
    --failing_bus_writes;
    errno = EREMOTEIO;
    return false;
  }
  if (backpack)
    backpack->write(bytes, length);
  return true;
}

// The common backpack's wiring as the expander model sees it.
const Pcf8574Model::Pins COMMON_PINS = {0, 1, 2, 3, false, {4, 5, 6, 7}};

constexpr int TIMEOUT_MS = 60000;

class LcdPanel : public ::testing::Test {
protected:
  void SetUp() override { fresh(); }

  // A panel just powered on, and a driver just started.
  void fresh(LcdRom rom = LcdRom::A00) {
    model = std::make_unique<Hd44780Model>();
    port_writes = wrong_port_writes = 0;
    screen = LcdScreen();
    panel = PanelDrive();
    panel.port = expected_port = 0x278;
    panel.rom = rom;
    expander.reset();
    backpack.reset();
    failing_bus_writes = 0;
  }
  // The same behind an expander: the driver's wiring read from `wiring` as lcdpanel reads
  // it, the backpack's pins as given.
  void fresh_on_bus(const char *wiring, const Pcf8574Model::Pins &pins, LcdRom rom) {
    fresh(rom);
    expander = std::make_unique<ExpanderPort>();
    std::string error;
    ASSERT_TRUE(expander_wiring_parse(wiring, &expander->wiring, &error)) << error;
    expander->write = bus_write;
    backpack = std::make_unique<Pcf8574Model>(*model, pins);
  }
  void TearDown() override {
    backpack.reset();
    expander.reset();
    model.reset();
  }

  // Feeds bytes in reads of `chunk` and checks after each that the panel shows what the
  // screen model does.
  void feed_in_step(const std::string &bytes, size_t chunk) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      panel_drive_feed(panel, screen, bytes.data() + at, std::min(chunk, bytes.size() - at));
      for (int row = 0; row < 2; ++row)
        ASSERT_EQ(model->row(row), lcd_rom_row(panel.rom, lcd_screen_row(screen, row)))
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
std::string panel_frames(const std::string &bytes, LcdRom rom = LcdRom::A00) {
  PanelDrive panel;
  panel.port = expected_port;
  panel.rom = rom;
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
    frames += lcd_panel_frame_text(++count, rows[0], rows[1], rom);
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
  if (expander)
    expander_port_out(*expander, value);
  else if (model)
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
  EXPECT_EQ(static_cast<unsigned char>(model->row(0)[0]), 0xFF);
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
  // title scrolling, a title with accents (Latin-1), volume and balance bars, the
  // farewell; then the simulator's frames of the recording with either ROM.
  Sandbox sb;
  const std::string lines =
      "echo display_startup; echo display_setstatus PLAY 1 2 3;"
      " echo display_settime +00:01 -03:12; echo display_setrandommode all; sleep 5.8;"
      " echo display_settitle A title longer than the row is wide; sleep 3;"
      " printf 'display_settitle Zo\\353 & the Caf\\351 Band\\n'; sleep 0.6;"
      " echo display_setmode 2; echo display_setvolume 50; echo display_setbalance -50;"
      " sleep 4.8; echo display_setbalance 0; sleep 0.6";
  RunResult r = sb.run("mkfifo /tmp/fifo.display\n: >/dev/lcd\n(" + lines +
                           ") >/tmp/fifo.display &\n"
                           "velm_display -l >/dev/null 2>&1 && lcdsim -q -r /dev/lcd -f "
                           "/tmp/frames && lcdsim -c A02 -q -r /dev/lcd -f /tmp/frames.a02\n",
                       "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string bytes = sb.read("/dev/lcd");
  const std::string frames = sb.read("/tmp/frames");
  const std::string frames_a02 = sb.read("/tmp/frames.a02");

  // On the parallel port and behind the expander, with either ROM.
  EXPECT_EQ(panel_frames(bytes), frames);
  fresh(LcdRom::A02);
  EXPECT_EQ(panel_frames(bytes, LcdRom::A02), frames_a02);
  for (LcdRom rom : {LcdRom::A00, LcdRom::A02}) {
    fresh_on_bus(EXPANDER_COMMON_WIRING, COMMON_PINS, rom);
    EXPECT_EQ(panel_frames(bytes, rom), rom == LcdRom::A00 ? frames : frames_a02);
    EXPECT_EQ(backpack->rw_high() + backpack->unsteady_strobes() + backpack->dark_strobes(), 0);
  }
  // The frames cover every kind of drawing.
  for (const char *row :
       {"|                       W|", "|1/002/03 PLAY -03:12 all|", "|A title longer than the |",
        "|title longer than the ro|", "|Zoe & the Cafe Band     |", "|V: 50 b:  0 t:  0 B: -50|",
        "|############            |", "|      #######           |", "|           ||           |",
        "|Thanx for using VELM    |", "|(powered by Linux!)     |"})
    EXPECT_NE(frames.find(std::string(row) + "\n"), std::string::npos) << row;
  EXPECT_NE(frames_a02.find("|Zoë & the Café Band     |\n"), std::string::npos) << frames_a02;
  EXPECT_NE(frames_a02.find("|############            |\n"), std::string::npos);

  // However the reads split the stream, the panel is in step after each.
  for (bool bus : {false, true}) {
    if (bus)
      fresh_on_bus(EXPANDER_COMMON_WIRING, COMMON_PINS, LcdRom::A02);
    else
      fresh();
    std::mt19937 random(8);
    size_t at = 0;
    while (at < bytes.size() && !HasFatalFailure()) {
      size_t chunk = std::uniform_int_distribution<size_t>(1, 200)(random);
      feed_in_step(bytes.substr(at, chunk), chunk);
      at += chunk;
    }
    EXPECT_EQ(wrong_port_writes, 0);
  }
}

// The panel behind the expander on the I2C bus: the suite the machines without an x86
// port run too.
class Hd44780I2c : public LcdPanel {};

TEST_F(Hd44780I2c, EveryWiringAndRomShowsWhatTheSimulatorShows) {
  // Accents, bars, text beyond the row, a clear and a start, a reset that sets the panel up
  // again.
  const std::string bytes = "\033R\033K\033p00,0Zo\xeb & the Caf\xe9 Band\033p00,1\xff\xff\xff"
                            "|| 20\xb0 \xb5s \xe4\xf6\xfc\xdf\xf1\033p00,0\\~\x7f\x85\xa0x"
                            "\033cgone\033K\033p03,1Cr\xe8me br\xfbl\xe9"
                            "e and more than fits"
                            "\033R\033K\033p00,0again\033p10,1\xff";
  struct Backpack {
    const char *wiring;
    Pcf8574Model::Pins pins;
  };
  const Backpack backpacks[] = {
      {"rs,rw,e,bl,d4,d5,d6,d7", COMMON_PINS},
      // The data on the low pins, the backlight switched on by a low pin.
      {"d4,d5,d6,d7,e,rw,rs,/bl", {6, 5, 4, 7, true, {0, 1, 2, 3}}},
      // RW tied low and the backlight always on: neither on a pin; the pins in any order.
      {"d7,nc,rs,d6,e,d5,nc,d4", {2, -1, 4, -1, false, {7, 5, 3, 0}}},
  };
  for (LcdRom rom : {LcdRom::A00, LcdRom::A02}) {
    LcdScreen sim_screen;
    LcdFrames sim_frames;
    sim_frames.rom = rom;
    std::string wanted;
    lcd_frames_feed(sim_frames, sim_screen, bytes.data(), bytes.size(), wanted);
    if (lcd_frame_take(sim_frames, sim_screen))
      wanted += lcd_frame_text(sim_frames.count, lcd_screen_row(sim_screen, 0),
                               lcd_screen_row(sim_screen, 1), rom);
    for (const Backpack &b : backpacks) {
      SCOPED_TRACE(std::string(lcd_rom_name(rom)) + " " + b.wiring);
      fresh_on_bus(b.wiring, b.pins, rom);
      EXPECT_EQ(panel_frames(bytes, rom), wanted);
      EXPECT_EQ(backpack->rw_high(), 0);
      EXPECT_EQ(backpack->unsteady_strobes(), 0);
      EXPECT_EQ(backpack->dark_strobes(), 0);
      if (b.pins.backlight >= 0) {
        EXPECT_TRUE(backpack->backlight_on());
      }
      // One bus write a port byte: a second byte only where enable rises.
      EXPECT_EQ(backpack->transactions(), port_writes);
      EXPECT_GT(backpack->bytes(), port_writes);
      EXPECT_LT(backpack->bytes(), 2 * port_writes);
      for (size_t chunk : {size_t{1}, size_t{5}, bytes.size()}) {
        fresh_on_bus(b.wiring, b.pins, rom);
        feed_in_step(bytes, chunk);
      }
    }
    // The rows the simulator shows for the accented title.
    EXPECT_NE(wanted.find(rom == LcdRom::A00 ? "|Zoe & the Cafe Band     |"
                                             : "|Zoë & the Café Band     |"),
              std::string::npos)
        << wanted;
  }
}

TEST_F(Hd44780I2c, BarsOnA02AreTheBlockTheDriverDefines) {
  fresh_on_bus(EXPANDER_COMMON_WIRING, COMMON_PINS, LcdRom::A02);
  feed_in_step("\033p00,0\xff\xe9\033p00,1\xff", 1000);
  EXPECT_EQ(model->shown(0, 0), '\0');
  EXPECT_EQ(static_cast<unsigned char>(model->shown(0, 1)), 0xE9);
  EXPECT_EQ(model->shown(1, 0), '\0');
  for (int row = 0; row < 8; ++row)
    EXPECT_EQ(model->glyph_row(0, row), 0x1F) << row;
  for (int code = 1; code < 8; ++code)
    EXPECT_EQ(model->glyph_row(code, 0), 0) << "no other character is defined";
  EXPECT_FALSE(model->on_cgram());

  // On A00 the ROM's own block, and no user-defined character.
  fresh_on_bus(EXPANDER_COMMON_WIRING, COMMON_PINS, LcdRom::A00);
  feed_in_step("\033p00,0\xff\xe9", 1000);
  EXPECT_EQ(static_cast<unsigned char>(model->shown(0, 0)), 0xFF);
  EXPECT_EQ(model->shown(0, 1), 'e');
  EXPECT_EQ(model->glyph_row(0, 0), 0);
}

TEST_F(Hd44780I2c, ABusThatDropsWritesIsCountedAndThePanelSetUpAgain) {
  fresh_on_bus(EXPANDER_COMMON_WIRING, COMMON_PINS, LcdRom::A00);
  feed_in_step("\033p00,0first row\033p00,1second", 1000);
  // Three bytes lost in the middle of a character: the controller is half a byte out of
  // step, the driver does not know.
  failing_bus_writes = 3;
  const std::string next = "\033p00,0changed";
  panel_drive_feed(panel, screen, next.data(), next.size());
  EXPECT_EQ(expander->failures, 3);
  EXPECT_EQ(expander->last_error, EREMOTEIO);
  EXPECT_NE(model->row(0), pad("changedow"));
  // lcdpanel sets the panel up afresh after a failure: the wake-up through the expander
  // brings the controller back in step whatever half of a byte it was in.
  panel.ready = false;
  feed_in_step("\033p00,1again!", 1000);
  EXPECT_EQ(model->row(0), pad("changedow"));
  EXPECT_EQ(model->row(1), pad("again!"));
  EXPECT_TRUE(model->four_bit() && !model->half_byte());
}

TEST(Hd44780I2cWiring, ReadAndRefused) {
  ExpanderWiring w;
  std::string error;
  ASSERT_TRUE(expander_wiring_parse(EXPANDER_COMMON_WIRING, &w, &error)) << error;
  ExpanderWiring common; // the defaults: the common wiring
  EXPECT_EQ(w.rs, common.rs);
  EXPECT_EQ(w.rw, common.rw);
  EXPECT_EQ(w.e, common.e);
  EXPECT_EQ(w.backlight, common.backlight);
  EXPECT_EQ(w.backlight_low, common.backlight_low);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(w.data[i], common.data[i]);
  EXPECT_EQ(common.rs, 0);
  EXPECT_EQ(common.e, 2);
  EXPECT_EQ(common.data[0], 4);
  // P2 (E) and P3 (backlight) high, the nibble 0101 on P4-P7, RS on P0.
  EXPECT_EQ(expander_byte(common, 0x80 | 0x40 | 0x10 | 0x5), 0x01 | 0x04 | 0x08 | 0x50);
  EXPECT_EQ(expander_byte(common, 0x00), 0x08);

  ASSERT_TRUE(expander_wiring_parse("D4,D5,D6,D7,E,RW,RS,/BL", &w, &error)) << error;
  EXPECT_EQ(w.rs, 6);
  EXPECT_EQ(w.backlight, 7);
  EXPECT_TRUE(w.backlight_low);
  EXPECT_EQ(expander_byte(w, 0x80 | 0x10 | 0x9), 0x40 | 0x09); // backlight on: P7 low

  const std::pair<const char *, const char *> refused[] = {
      {"rs,rw,e,bl,d4,d5,d6", "eight pins wanted (P0 to P7), 7 given"},
      {"rs,rw,e,bl,d4,d5,d6,d7,nc", "more than eight pins"},
      {"rs,rs,e,bl,d4,d5,d6,d7", "\"rs\" on two pins"},
      {"rs,bl,e,/bl,d4,d5,d6,d7", "\"bl\" on two pins"},
      {"rs,rw,en,bl,d4,d5,d6,d7", "P2: unknown role \"en\" (rs, rw, e, bl, /bl, d4-d7 or nc)"},
      {"rs,rw,e,bl,d4,d5,d6,nc", "no pin for \"d7\""},
      {"nc,rw,e,bl,d4,d5,d6,d7", "no pin for \"rs\""},
      {"", "P0: unknown role \"\" (rs, rw, e, bl, /bl, d4-d7 or nc)"},
  };
  for (const auto &[text, reason] : refused) {
    ExpanderWiring untouched;
    untouched.rs = 5;
    EXPECT_FALSE(expander_wiring_parse(text, &untouched, &error)) << text;
    EXPECT_EQ(error, reason) << text;
    EXPECT_EQ(untouched.rs, 5) << text;
  }
}

TEST(Hd44780I2cProgram, OptionsAndBusesRefusedWithAReason) {
  // The real lcdpanel: no I2C bus exists here, so it gets as far as the bus device. A
  // plain file and /dev/null take no I2C address.
  Sandbox sb;
  RunResult r = sb.run("lcdpanel -c A01; echo $?\n"
                       "lcdpanel -a 0x3f; echo $?\n"
                       "lcdpanel -d 1 -a 0x78; echo $?\n"
                       "lcdpanel -d 1 -w rs,rw,e,bl,d4,d5,d6; echo $?\n"
                       "lcdpanel -d 7 -a 0x3F -c a02 -r /dev/null; echo $?\n"
                       ": >/tmp/bus; lcdpanel -d /tmp/bus -r /dev/null; echo $?\n"
                       "lcdpanel -d /dev/null -w d4,d5,d6,d7,e,rw,rs,/bl -r /dev/null; echo $?\n"
                       "lcdpanel -h | grep -c '^\t-[cdaw] '\n",
                       "", TIMEOUT_MS);
  EXPECT_EQ(r.out, "2\n2\n2\n2\n1\n1\n1\n4\n");
  // Under qemu-user (the arm64 check) the emulator, which does not know the I2C ioctls,
  // answers ENOSYS where a kernel answers ENOTTY.
  std::string err = r.err;
  for (size_t at; (at = err.find("Function not implemented")) != std::string::npos;)
    err.replace(at, 24, "Inappropriate ioctl for device");
  EXPECT_EQ(err, "lcdpanel: -c A01: not a character ROM (A00 or A02)\n"
                 "lcdpanel: -a and -w are for a panel on an I2C bus (-d)\n"
                 "lcdpanel: -a 0x78: not an I2C address (0x03 to 0x77)\n"
                 "lcdpanel: -w rs,rw,e,bl,d4,d5,d6: eight pins wanted (P0 to P7), 7 given\n"
                 "lcdpanel: /dev/i2c-7: No such file or directory (is the i2c-dev module loaded?)\n"
                 "lcdpanel: /tmp/bus: address 0x27: Inappropriate ioctl for device\n"
                 "lcdpanel: /dev/null: address 0x27: Inappropriate ioctl for device\n");
}
