#include "lcdrom.h"

#include <strings.h>

namespace {

constexpr unsigned char P = LCD_ROM_PLACEHOLDER;

// The glyphs of the codes 0xA0-0xFF on A00, row by row of the controller's table.
const char *const A00_HIGH[96] = {
    // 0xA0: blank, Japanese punctuation, small katakana
    " ", "。", "「", "」", "、", "・", "ヲ", "ァ", "ィ", "ゥ", "ェ", "ォ", "ャ", "ュ", "ョ", "ッ",
    // 0xB0: the long-vowel mark and katakana
    "ー", "ア", "イ", "ウ", "エ", "オ", "カ", "キ", "ク", "ケ", "コ", "サ", "シ", "ス", "セ", "ソ",
    // 0xC0
    "タ", "チ", "ツ", "テ", "ト", "ナ", "ニ", "ヌ", "ネ", "ノ", "ハ", "ヒ", "フ", "ヘ", "ホ", "マ",
    // 0xD0: katakana, the voicing mark, and the small circle that serves as degree sign
    "ミ", "ム", "メ", "モ", "ヤ", "ユ", "ヨ", "ラ", "リ", "ル", "レ", "ロ", "ワ", "ン", "゛", "°",
    // 0xE0: Greek and accented letters, letters with descenders, signs
    "α", "ä", "ß", "ε", "µ", "σ", "ρ", "g", "√", "⁻", "j", "ˣ", "¢", "£", "ñ", "ö",
    // 0xF0: 0xF8 is x with a bar; 0xFA-0xFC the kanji for thousand, ten thousand, yen
    "p", "q", "θ", "∞", "Ω", "ü", "Σ", "π", "x̄", "y", "千", "万", "円", "÷", " ", "█"};

// The glyphs of the codes 0x10-0x1F on A02.
const char *const A02_SYMBOLS[16] = {"▶", "◀", "“", "”", "⇑", "⇓", "●", "↵",
                                     "↑", "↓", "→", "←", "≤", "≥", "▲", "▼"};

// The glyphs of the codes 0x80-0xFF on A02: Cyrillic and Greek letters and symbols, then
// Latin-1's signs with a few of its own in between, then Latin-1's letters.
const char *const A02_HIGH[128] = {
    "Б", "Д", "Ж", "З", "И", "Й", "Л", "П", "У", "Ц", "Ч", "Ш", "Щ", "Ъ", "Ы", "Э", "α", "♪", "Γ",
    "π", "Σ", "σ", "♬", "τ", "⍾", "Θ", "Ω", "δ", "∞", "♥", "ε", "∩", " ", "¡", "¢", "£", "¤", "¥",
    "¦", "§", "ƒ", "©", "ª", "«", "Ю", "Я", "®", "‘", "°", "±", "²", "³", "₧", "µ", "¶", "·", "ω",
    "¹", "º", "»", "¼", "½", "¾", "¿", "À", "Á", "Â", "Ã", "Ä", "Å", "Æ", "Ç", "È", "É", "Ê", "Ë",
    "Ì", "Í", "Î", "Ï", "Ð", "Ñ", "Ò", "Ó", "Ô", "Õ", "Ö", "×", "Ø", "Ù", "Ú", "Û", "Ü", "Ý", "Þ",
    "ß", "à", "á", "â", "ã", "ä", "å", "æ", "ç", "è", "é", "ê", "ë", "ì", "í", "î", "ï", "ð", "ñ",
    "ò", "ó", "ô", "õ", "ö", "÷", "ø", "ù", "ú", "û", "ü", "ý", "þ", "ÿ"};

// The A00 codes of Latin-1's 0xA0-0xFF: the ROM's own glyph, or the letter without its
// accent, or the placeholder. 0xFF is the bar glyph, not "ÿ".
const unsigned char A00_OF_LATIN1[96] = {
    // NBSP ¡ ¢ £ ¤ ¥ ¦ § ¨ © ª « ¬ SHY ® ¯
    ' ', P, 0xEC, 0xED, P, 0x5C, P, P, P, P, P, P, P, '-', P, P,
    // ° ± ² ³ ´ µ ¶ · ¸ ¹ º » ¼ ½ ¾ ¿
    0xDF, P, P, P, P, 0xE4, P, P, P, P, P, P, P, P, P, P,
    // À Á Â Ã Ä Å Æ Ç È É Ê Ë Ì Í Î Ï
    'A', 'A', 'A', 'A', 'A', 'A', 'A', 'C', 'E', 'E', 'E', 'E', 'I', 'I', 'I', 'I',
    // Ð Ñ Ò Ó Ô Õ Ö × Ø Ù Ú Û Ü Ý Þ ß
    'D', 'N', 'O', 'O', 'O', 'O', 'O', P, 'O', 'U', 'U', 'U', 'U', 'Y', P, 0xE2,
    // à á â ã ä å æ ç è é ê ë ì í î ï
    'a', 'a', 'a', 'a', 0xE1, 'a', 'a', 'c', 'e', 'e', 'e', 'e', 'i', 'i', 'i', 'i',
    // ð ñ ò ó ô õ ö ÷ ø ù ú û ü ý þ (bar)
    'd', 0xEE, 'o', 'o', 'o', 'o', 0xEF, 0xFD, 'o', 'u', 'u', 'u', 0xF5, 'y', P, 0xFF};

// Latin-1's signs that A02 has other glyphs in place of: the diaeresis, the not sign,
// the soft hyphen (shown as a hyphen), the macron, the acute accent and the cedilla.
unsigned char a02_sign(unsigned char byte) {
  switch (byte) {
  case 0xA0:
    return ' ';
  case 0xAD:
    return '-';
  case 0xA8:
  case 0xAC:
  case 0xAF:
  case 0xB4:
  case 0xB8:
    return P;
  default:
    return byte;
  }
}

} // namespace

bool lcd_rom_parse(const char *name, LcdRom *rom) {
  if (strcasecmp(name, "A00") == 0) {
    *rom = LcdRom::A00;
    return true;
  }
  if (strcasecmp(name, "A02") == 0) {
    *rom = LcdRom::A02;
    return true;
  }
  return false;
}

const char *lcd_rom_name(LcdRom rom) {
  return rom == LcdRom::A02 ? "A02" : "A00";
}

unsigned char lcd_rom_block(LcdRom rom) {
  return rom == LcdRom::A02 ? LCD_ROM_A02_BLOCK : 0xFF;
}

unsigned char lcd_rom_code(LcdRom rom, unsigned char byte) {
  if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0))
    return P; // control bytes, DEL and Latin-1's second control range
  if (byte < 0x7F) {
    // A00 has "¥" in place of the backslash and an arrow in place of the tilde.
    if (rom == LcdRom::A00 && (byte == '\\' || byte == '~'))
      return P;
    return byte;
  }
  if (byte == 0xFF)
    return lcd_rom_block(rom);
  if (rom == LcdRom::A00)
    return A00_OF_LATIN1[byte - 0xA0];
  return a02_sign(byte);
}

const char *lcd_rom_glyph(LcdRom rom, unsigned char code) {
  // The ASCII glyphs both ROMs share, one string per code.
  static const char ascii[96][2] = {
      " ", "!", "\"", "#", "$", "%", "&", "'", "(", ")", "*", "+", ",",  "-", ".", "/",
      "0", "1", "2",  "3", "4", "5", "6", "7", "8", "9", ":", ";", "<",  "=", ">", "?",
      "@", "A", "B",  "C", "D", "E", "F", "G", "H", "I", "J", "K", "L",  "M", "N", "O",
      "P", "Q", "R",  "S", "T", "U", "V", "W", "X", "Y", "Z", "[", "\\", "]", "^", "_",
      "`", "a", "b",  "c", "d", "e", "f", "g", "h", "i", "j", "k", "l",  "m", "n", "o",
      "p", "q", "r",  "s", "t", "u", "v", "w", "x", "y", "z", "{", "|",  "}", "~", " "};
  if (rom == LcdRom::A00) {
    if (code >= 0xA0)
      return A00_HIGH[code - 0xA0];
    if (code < 0x20 || code >= 0x80)
      return " "; // user-defined characters (none defined) and the empty columns
    if (code == 0x5C)
      return "¥";
    if (code == 0x7E)
      return "→";
    if (code == 0x7F)
      return "←";
    return ascii[code - 0x20];
  }
  if (code == LCD_ROM_A02_BLOCK)
    return "█";
  if (code < 0x10)
    return " "; // the other user-defined characters: none defined
  if (code < 0x20)
    return A02_SYMBOLS[code - 0x10];
  if (code == 0x7F)
    return "⌂";
  if (code < 0x80)
    return ascii[code - 0x20];
  return A02_HIGH[code - 0x80];
}
