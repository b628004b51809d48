// The panel library, linked with a seam of the test's own in place of the port and the
// sleeps: every port byte and sleep is recorded, and the bytes drive a controller model.

#include "charpanel.h"
#include "hd44780_model.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// "p<port>:<byte>" for a port write, "s<microseconds>" for a sleep.
std::vector<std::string> events;
Hd44780Model *model;
// How many more port writes reach the model; below 0, all of them. Cutting the wire
// in the middle of a transfer leaves the controller as a driver stopped there would.
int writes_to_panel = -1;

std::string out(unsigned value, unsigned port = 0x378) {
  char text[32];
  snprintf(text, sizeof text, "p%x:%02x", port, value);
  return text;
}
std::string sleep_us(unsigned microseconds) {
  // Appended rather than "s" + std::to_string(...), of which GCC 12 at -O3 warns falsely
  // (-Wrestrict).
  std::string text = "s";
  text += std::to_string(microseconds);
  return text;
}

// The five bytes of a full transfer of `byte` to register `reg`, with their two sleeps.
std::vector<std::string> transfer(unsigned reg, unsigned byte, unsigned port = 0x378) {
  return {out(0x80, port),
          out(0xC0 | reg | byte >> 4, port),
          sleep_us(1),
          out(0x80 | reg | byte >> 4, port),
          out(0xC0 | reg | (byte & 0x0F), port),
          sleep_us(1),
          out(0x80 | reg | (byte & 0x0F), port)};
}

class Charpanel : public ::testing::Test {
protected:
  void SetUp() override {
    events.clear();
    model = &panel;
    writes_to_panel = -1;
  }
  void TearDown() override { model = nullptr; }
  Hd44780Model panel;
};

} // namespace

extern "C" void lcd_port_out(unsigned short port, unsigned char value) {
  events.push_back(out(value, port));
  if (model == nullptr || writes_to_panel == 0)
    return;
  if (writes_to_panel > 0)
    --writes_to_panel;
  model->port_write(value);
}

extern "C" void lcd_delay_us(unsigned int microseconds) {
  events.push_back(sleep_us(microseconds));
}

TEST_F(Charpanel, WorkedTransfers) {
  struct Case {
    void (*call)();
    std::vector<unsigned> bytes;
  } const cases[] = {
      {[] { lcd_clear(0x378); }, {0x80, 0xC0, 0x80, 0xC1, 0x81}},
      {[] { lcd_home(0x378); }, {0x80, 0xC0, 0x80, 0xC3, 0x83}},
      {[] { lcd_control(0x378, 1, 1, 0); }, {0x80, 0xC0, 0x80, 0xCE, 0x8E}},
      {[] { lcd_shift(0x378, 1); }, {0x80, 0xC1, 0x81, 0xCC, 0x8C}},
      {[] { lcd_charaddr(0x378, 5, 1); }, {0x80, 0xCC, 0x8C, 0xC5, 0x85}},
      {[] { lcd_print(0x378, 'A'); }, {0x80, 0xD4, 0x94, 0xD1, 0x91}},
  };
  for (const Case &c : cases) {
    events.clear();
    c.call();
    const auto &b = c.bytes;
    // A sleep of one microsecond after the 2nd and the 4th byte.
    EXPECT_EQ(events, (std::vector<std::string>{out(b[0]), out(b[1]), sleep_us(1), out(b[2]),
                                                out(b[3]), sleep_us(1), out(b[4])}));
  }
}

TEST_F(Charpanel, SyssetWakesTheControllerThenSetsItsFunction) {
  lcd_sysset(0x2f8, 0, 1, 1);
  std::vector<std::string> expected = {
      out(0x00, 0x2f8), sleep_us(1), out(0x80, 0x2f8),
      // Four wake-up pulses on the instruction register: 3, 3, 3, then 2 for 4 bits.
      out(0xC3, 0x2f8), sleep_us(1), out(0x83, 0x2f8), sleep_us(5000), out(0xC3, 0x2f8),
      sleep_us(1), out(0x83, 0x2f8), sleep_us(150), out(0xC3, 0x2f8), sleep_us(1), out(0x83, 0x2f8),
      out(0xC2, 0x2f8), sleep_us(1), out(0x82, 0x2f8),
      // The function set 0x28 as two nibbles, without the leading idle write.
      out(0xC2, 0x2f8), sleep_us(1), out(0x82, 0x2f8), out(0xC8, 0x2f8), sleep_us(1),
      out(0x88, 0x2f8)};
  EXPECT_EQ(events, expected);
  EXPECT_TRUE(panel.four_bit());
  EXPECT_TRUE(panel.two_lines());
}

TEST_F(Charpanel, FunctionSetFlags) {
  // The byte is the last two nibbles: a sets the 8-bit interface, b two lines, c zero
  // the 5x10 font.
  struct Case {
    int a, b, c;
    unsigned function;
  } const cases[] = {{0, 0, 0, 0x24}, {0, 1, 1, 0x28},  {1, 0, 1, 0x30},
                     {1, 1, 0, 0x3C}, {7, -1, 2, 0x38}, {0, 0, 1, 0x20}};
  for (const Case &c : cases) {
    events.clear();
    lcd_sysset(0x378, c.a, c.b, c.c);
    ASSERT_GE(events.size(), 6u);
    std::vector<std::string> tail(events.end() - 6, events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{out(0xC0 | c.function >> 4), sleep_us(1),
                                              out(0x80 | c.function >> 4),
                                              out(0xC0 | (c.function & 0x0F)), sleep_us(1),
                                              out(0x80 | (c.function & 0x0F))}))
        << c.a << c.b << c.c;
  }
}

TEST_F(Charpanel, ControlShiftAndAddressBytes) {
  struct Case {
    void (*call)();
    unsigned byte;
  } const cases[] = {
      {[] { lcd_control(0x378, 0, 0, 0); }, 0x08},  {[] { lcd_control(0x378, 1, 0, 0); }, 0x0C},
      {[] { lcd_control(0x378, 0, 1, 0); }, 0x0A},  {[] { lcd_control(0x378, 0, 0, 5); }, 0x09},
      {[] { lcd_control(0x378, -1, 2, 3); }, 0x0F}, {[] { lcd_shift(0x378, 0); }, 0x18},
      {[] { lcd_shift(0x378, 2); }, 0x18},          {[] { lcd_shift(0x378, -1); }, 0x18},
      {[] { lcd_shift(0x378, 1); }, 0x1C},          {[] { lcd_charaddr(0x378, 70, 1); }, 0x86},
      {[] { lcd_charaddr(0x378, 6, 0); }, 0x86},    {[] { lcd_charaddr(0x378, 0, 1); }, 0xC0},
      {[] { lcd_charaddr(0x378, 23, 1); }, 0xD7},   {[] { lcd_charaddr(0x378, -1, 0); }, 0xFF},
  };
  for (const Case &c : cases) {
    events.clear();
    c.call();
    EXPECT_EQ(events, transfer(0x00, c.byte)) << std::hex << c.byte;
  }
}

TEST_F(Charpanel, CharactersAbove127AndEmptyText) {
  lcd_print(0x3bc, static_cast<char>(0xE4));
  EXPECT_EQ(events, transfer(0x10, 0xE4, 0x3bc)); // 0xDE, 0x9E, then 0xD4, 0x94
  events.clear();
  lcd_printstr(0x3bc, "");
  EXPECT_TRUE(events.empty());
  lcd_printstr(0x3bc, "Hi");
  std::vector<std::string> expected = transfer(0x10, 'H', 0x3bc);
  for (const std::string &e : transfer(0x10, 'i', 0x3bc))
    expected.push_back(e);
  EXPECT_EQ(events, expected);
}

TEST_F(Charpanel, CursorAnywhereKeepsStoresInside) {
  // Rows and columns far outside the panel: every character still goes out, and the
  // library's own record is never written outside (the sanitizer build watches).
  for (int row : {100, 81, 82, -1, -100, 2147483647, -2147483647 - 1}) {
    for (int column : {0, 1, 5, -3, 2147483647}) {
      events.clear();
      lcd_charaddr(0x378, column, row);
      lcd_printstr(0x378, "xyz");
      EXPECT_EQ(events.size(), 4 * 7u) << row << "," << column;
    }
  }
}

TEST_F(Charpanel, ThePanelShowsWhatWasWritten) {
  lcd_sysset(0x378, 0, 1, 1);
  lcd_control(0x378, 1, 0, 0);
  lcd_clear(0x378);
  lcd_charaddr(0x378, 0, 0);
  lcd_printstr(0x378, "Welcome to VELM");
  lcd_charaddr(0x378, 3, 1);
  lcd_printstr(0x378, "PLAY 1/002/03");
  EXPECT_EQ(panel.row(0), "Welcome to VELM         ");
  EXPECT_EQ(panel.row(1), "   PLAY 1/002/03        ");

  // Home and clear; display off blanks the panel, on shows it again.
  lcd_home(0x378);
  lcd_print(0x378, 'w');
  EXPECT_EQ(panel.row(0), "welcome to VELM         ");
  lcd_control(0x378, 0, 0, 0);
  EXPECT_EQ(panel.row(0), std::string(24, ' '));
  lcd_control(0x378, 1, 1, 1);
  EXPECT_EQ(panel.row(1), "   PLAY 1/002/03        ");

  // Shifting the display moves the window over the line: left shows later characters.
  lcd_shift(0x378, 0);
  EXPECT_EQ(panel.row(0), "elcome to VELM          ");
  lcd_shift(0x378, 1);
  lcd_shift(0x378, 1);
  EXPECT_EQ(panel.row(0), " welcome to VELM        ");

  lcd_clear(0x378);
  EXPECT_EQ(panel.row(0), std::string(24, ' '));
  EXPECT_EQ(panel.row(1), std::string(24, ' '));
  // Column 70 of row 1 is address 0x06 of row 0.
  lcd_charaddr(0x378, 70, 1);
  lcd_print(0x378, '*');
  EXPECT_EQ(panel.row(0), "      *                 ");
}

// The wake-up brings the controller into step from each state a program may find it in,
// and the text written after shows.
TEST_F(Charpanel, WakeUpFromEveryStartingState) {
  auto wake_and_write = [](const Hd44780Model &lcd, const char *state) {
    lcd_sysset(0x378, 0, 1, 1);
    EXPECT_TRUE(lcd.four_bit()) << state;
    EXPECT_FALSE(lcd.half_byte()) << state;
    lcd_control(0x378, 1, 0, 0);
    lcd_clear(0x378);
    lcd_printstr(0x378, "again");
    lcd_charaddr(0x378, 2, 1);
    lcd_printstr(0x378, "row two");
    EXPECT_EQ(lcd.row(0), "again                   ") << state;
    EXPECT_EQ(lcd.row(1), "  row two               ") << state;
  };

  // Just powered on: the 8-bit interface.
  ASSERT_FALSE(panel.four_bit());
  wake_and_write(panel, "powered on");

  // A program that starts again finds the controller in 4-bit mode, in step.
  wake_and_write(panel, "4-bit mode");

  // A driver stopped after the high nibble of a byte, the panel still powered: a
  // character of every high nibble, and the address instructions (high nibbles 8 to F).
  for (int byte = 0x05; byte < 0x100; byte += 0x10) {
    for (bool character : {true, false}) {
      if (!character && byte < 0x80)
        continue;
      panel = Hd44780Model(); // just powered on
      lcd_sysset(0x378, 0, 1, 1);
      writes_to_panel = 3; // the idle write and the high nibble's two
      if (character)
        lcd_print(0x378, static_cast<char>(byte));
      else
        lcd_charaddr(0x378, byte & 0x7F, 0);
      writes_to_panel = -1;
      ASSERT_TRUE(panel.four_bit() && panel.half_byte());
      std::string state =
          (character ? "half a character " : "half an instruction ") + std::to_string(byte);
      wake_and_write(panel, state.c_str());
    }
  }
}

TEST(Hd44780Model, HalfAByteLeavesTheShortWakeUpOutOfStep) {
  // A controller with half a byte received takes the next nibble as the rest of that
  // byte. The short wake-up 3, 3, 2 and a function set after it then leave it one nibble
  // out of step: it is what the full wake-up is there for.
  Hd44780Model lcd;
  auto nibble = [&lcd](unsigned char value) {
    lcd.port_write(static_cast<unsigned char>(0xC0 | value));
    lcd.port_write(static_cast<unsigned char>(0x80 | value));
  };
  nibble(0x2); // in 8-bit mode a whole function set: 4 bits
  ASSERT_TRUE(lcd.four_bit() && !lcd.half_byte());
  nibble(0x4);
  ASSERT_TRUE(lcd.half_byte());
  for (unsigned char n : {0x3, 0x3, 0x2, 0x2, 0x8})
    nibble(n);
  EXPECT_TRUE(lcd.four_bit());
  EXPECT_TRUE(lcd.half_byte());
}
