#pragma once

// The character ROM of the panel's HD44780 controller, and what its codes show. The
// display writes one byte a character, in Latin-1; the panel has one of two ROMs:
//
//   A00  the common one: ASCII (but "¥" for the backslash and arrows for "~" and DEL),
//        Japanese katakana, and a few Greek and accented letters and signs, among them
//        ä ö ü ß ñ ° µ ¢ £ ÷ and the full block
//   A02  the European one: ASCII, Cyrillic and Greek letters, symbols, and the Latin-1
//        letters and signs at their Latin-1 codes; no full block
//
// Each Latin-1 byte goes to the code of its own glyph where the ROM has it, an accented
// letter the ROM lacks to the letter without its accent, anything else to the blank
// placeholder (never a katakana). The bar glyph (byte 255) is the full block: on A00 the
// ROM's own, on A02 user-defined character 0, which the panel driver defines as all dots
// set. The codes below 32 that the display never sends (they are control bytes to the
// screen) go to the placeholder too.

#include <cstdint>

enum class LcdRom : std::uint8_t { A00, A02 };

// The blank placeholder of a character the ROM cannot show: a space on both ROMs.
inline constexpr unsigned char LCD_ROM_PLACEHOLDER = 0x20;

// The user-defined character that the panel driver sets as the full block on A02.
inline constexpr unsigned char LCD_ROM_A02_BLOCK = 0x00;

// "A00" or "A02" (capitals or not): true with the ROM in *rom.
bool lcd_rom_parse(const char *name, LcdRom *rom);
const char *lcd_rom_name(LcdRom rom);

// The code sent to the panel for a byte of the screen.
unsigned char lcd_rom_code(LcdRom rom, unsigned char byte);

// The code of the full block, the bar glyph.
unsigned char lcd_rom_block(LcdRom rom);

// What a code shows on the panel, as UTF-8: one character, a space for a blank cell
// (the codes without a glyph, the user-defined characters but the block on A02). The
// letters and signs the ROM shares with Latin-1 are written as those (the A00 degree
// sign, the small circle at 0xDF, as "°"; its beta-like letter at 0xE2 as "ß").
const char *lcd_rom_glyph(LcdRom rom, unsigned char code);
