// The panel's character ROMs: every Latin-1 byte on A00 and A02, and glyphs of the
// controller's character code tables.

#include "lcdrom.h"
#include "lcdview.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// The glyphs of the bytes 0xA0-0xFF as the panel shows them, as a frame row shows them
// (the bar glyph 0xFF as '#').
std::string high_half(LcdRom rom) {
  std::string row;
  for (int byte = 0xA0; byte <= 0xFF; ++byte)
    row += static_cast<char>(byte);
  std::string frame = lcd_panel_frame_text(1, lcd_rom_row(rom, row), "", rom);
  return frame.substr(9, frame.size() - 9 - 5); // between "frame 1\n|" and "|\n||\n"
}

// Japanese characters: katakana, the punctuation and marks around them, kanji.
bool japanese(const std::string &glyph) {
  // U+3000-U+30FF and U+4E00-U+9FFF, in UTF-8: E3 80-83, E4 B8 - E9 BF.
  auto b = [&](size_t i) { return i < glyph.size() ? static_cast<unsigned char>(glyph[i]) : 0; };
  return (b(0) == 0xE3 && b(1) >= 0x80 && b(1) <= 0x83) || (b(0) >= 0xE4 && b(0) <= 0xE9);
}

} // namespace

TEST(Hd44780Rom, EveryLatin1ByteOnA00) {
  // The letters A00 has at their own codes, the others without their accents, the rest
  // as the blank placeholder.
  EXPECT_EQ(high_half(LcdRom::A00), "  ¢£ ¥       -  °    µ          AAAAAAACEEEEIIII"
                                    "DNOOOOO OUUUUY ßaaaaäaaceeeeiiiidñooooö÷ouuuüy #");
  for (int byte = 0; byte < 0xA0; ++byte) {
    std::string glyph = lcd_rom_glyph(LcdRom::A00, lcd_rom_code(LcdRom::A00, byte));
    // ASCII as it is, but the backslash and the tilde, whose codes show "¥" and "→".
    bool shown = byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '~';
    EXPECT_EQ(glyph, shown ? std::string(1, static_cast<char>(byte)) : " ") << byte;
  }
  for (int byte = 0; byte < 256; ++byte)
    EXPECT_FALSE(japanese(lcd_rom_glyph(LcdRom::A00, lcd_rom_code(LcdRom::A00, byte)))) << byte;
}

TEST(Hd44780Rom, EveryLatin1ByteOnA02) {
  // Latin-1's letters and most of its signs at their own codes; where A02 has a glyph of
  // its own in place of a sign (¨ ¬ ¯ ´ ¸), the placeholder; the soft hyphen as a hyphen.
  EXPECT_EQ(high_half(LcdRom::A02), " ¡¢£¤¥¦§ ©ª« -® °±²³ µ¶· ¹º»¼½¾¿ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏ"
                                    "ÐÑÒÓÔÕÖ×ØÙÚÛÜÝÞßàáâãäåæçèéêëìíîïðñòóôõö÷øùúûüýþ#");
  for (int byte = 0; byte < 0xA0; ++byte) {
    std::string glyph = lcd_rom_glyph(LcdRom::A02, lcd_rom_code(LcdRom::A02, byte));
    bool shown = byte >= 0x20 && byte < 0x7F;
    EXPECT_EQ(glyph, shown ? std::string(1, static_cast<char>(byte)) : " ") << byte;
  }
  // Every letter at its Latin-1 code.
  for (int byte = 0xC0; byte < 0xFF; ++byte)
    EXPECT_EQ(lcd_rom_code(LcdRom::A02, byte), byte) << byte;
}

TEST(Hd44780Rom, CodesOfTheDataSheetsTables) {
  struct Spot {
    LcdRom rom;
    unsigned char byte, code;
  };
  const Spot spots[] = {
      {LcdRom::A00, 0xE4, 0xE1}, // ä
      {LcdRom::A00, 0xF6, 0xEF}, // ö
      {LcdRom::A00, 0xFC, 0xF5}, // ü
      {LcdRom::A00, 0xDF, 0xE2}, // ß, the beta-like letter
      {LcdRom::A00, 0xF1, 0xEE}, // ñ
      {LcdRom::A00, 0xB0, 0xDF}, // °, the small circle
      {LcdRom::A00, 0xB5, 0xE4}, // µ
      {LcdRom::A00, 0xF7, 0xFD}, // ÷
      {LcdRom::A00, 0xA5, 0x5C}, // ¥ in the backslash's place
      {LcdRom::A00, 0xFF, 0xFF}, // the full block
      {LcdRom::A00, 0xE9, 'e'},  // é: not in the ROM
      {LcdRom::A00, 0xC4, 'A'},  // Ä: no capital umlauts
      {LcdRom::A02, 0xE9, 0xE9}, // é
      {LcdRom::A02, 0xC4, 0xC4}, // Ä
      {LcdRom::A02, 0xFF, 0x00}, // the block the driver defines
      {LcdRom::A02, '\\', '\\'}, {LcdRom::A02, '~', '~'},
  };
  for (const Spot &s : spots)
    EXPECT_EQ(lcd_rom_code(s.rom, s.byte), s.code) << lcd_rom_name(s.rom) << " " << +s.byte;

  // Codes the display never gets sent, from the tables.
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0x5C), "¥");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0x7E), "→");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0x7F), "←");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0xB1), "ア");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0xE0), "α");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0xF4), "Ω");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0xFF), "█");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A00, 0x90), " ");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A02, 0x00), "█");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A02, 0x01), " ");
  EXPECT_STREQ(lcd_rom_glyph(LcdRom::A02, 0xFF), "ÿ");
}

TEST(Hd44780Rom, TitlesAsEachPanelShowsThem) {
  const std::string title = "Zo\xeb & the Caf\xe9 Band";
  const std::string blank(24, ' ');
  const std::string row = title + std::string(24 - title.size(), ' ');
  EXPECT_EQ(lcd_frame_text(3, row, blank, LcdRom::A00),
            "frame 3\n|Zoe & the Cafe Band     |\n|" + blank + "|\n");
  EXPECT_EQ(lcd_frame_text(3, row, blank, LcdRom::A02),
            "frame 3\n|Zoë & the Café Band     |\n|" + blank + "|\n");
  // The default is A00.
  EXPECT_EQ(lcd_frame_text(3, row, blank), lcd_frame_text(3, row, blank, LcdRom::A00));

  LcdRom rom = LcdRom::A02;
  EXPECT_TRUE(lcd_rom_parse("A00", &rom));
  EXPECT_EQ(rom, LcdRom::A00);
  EXPECT_TRUE(lcd_rom_parse("a02", &rom));
  EXPECT_EQ(rom, LcdRom::A02);
  for (const char *bad : {"", "A01", "A0", "A000", "HD44780"})
    EXPECT_FALSE(lcd_rom_parse(bad, &rom)) << bad;
  EXPECT_EQ(rom, LcdRom::A02);
}
