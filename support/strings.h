// String, number and octet helpers on 8-bit byte strings (zero bytes allowed). Positions count
// from 1; every function returns a new value and leaves its arguments alone. Nothing here
// throws or reads outside its arguments, whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zb {

// --- Substrings and text shaping

std::string LeftStr(std::string_view s, int n);   // first n characters (all of s when shorter)
std::string RightStr(std::string_view s, int n);  // last n characters
// count characters from position from (1-based; a position below 1 counts as 1).
std::string MidStr(std::string_view s, int from, int count);
// Text before the first sep; s when sep does not occur (an empty sep never occurs).
std::string TextBefore(std::string_view s, std::string_view sep);
// s after the first character of the first sep (for one-character separators: the text after
// it); s when sep does not occur.
std::string TextAfter(std::string_view s, std::string_view sep);
// s from the first sep onward, sep included; s when sep does not occur.
std::string TextFrom(std::string_view s, std::string_view sep);
// s up to and including the first character of the last sep; s when sep does not occur.
// Any length of s.
std::string TextBeforeLast(std::string_view s, std::string_view sep);
// s with the first occurrence of sub deleted.
std::string RemoveText(std::string_view s, std::string_view sub);
// The characters strictly between the first open at or after position start and the next close
// after it; empty when start is not below the length of s, open is missing or no close follows.
std::string TextBetween(std::string_view s, char open, char close, int start = 1);
// Position (1-based) of the first sub in s; 0 when absent or sub is empty.
int TextPos(std::string_view s, std::string_view sub);
// pad repeated (width - length of s) times in front of s when s is shorter than width.
std::string PadLeft(std::string_view s, std::string_view pad, int width);
std::string TrimLeadingSpaces(std::string_view s);  // only the character 32
// Every occurrence of old_text replaced, letters compared without regard to case.
std::string ReplaceAllText(std::string_view s, std::string_view old_text,
                           std::string_view new_text);
bool IsDigitChar(char c);   // '0'..'9'
bool IsLetterChar(char c);  // 'A'..'Z' after upper-casing

// --- Lenient conversions of host text: leading blanks dropped, then only the text before the
// first blank and before the first '%' counts; numbers first, then the words TRUE, FALSE, ON,
// OFF and -ON (any case) as 1, 0, 1, 0, -1; anything else is 0 / false.

int32_t TextToInt(std::string_view s);  // integer texts only: "12.5" gives 0
bool TextToBool(std::string_view s);    // TextToDouble(s) != 0
float TextToSingle(std::string_view s);
double TextToDouble(std::string_view s);  // decimal separator '.'

// --- Hexadecimal, addresses and octets

// Value of a hexadecimal text of 1 to 4 digits, either case; 0 for any other length.
// A character that is not a hexadecimal digit counts as 0.
int32_t HexToInt(std::string_view s);
// Each pair of hexadecimal digits becomes one octet; an odd last digit is ignored; a character
// that is not a hexadecimal digit counts as 0.
std::string HexToBytes(std::string_view s);
std::string BytesToHex(std::string_view s);         // "0AFF"
std::string BytesToBracketHex(std::string_view s);  // "[0A][FF]"
// a.b.c.d as a*2^24 + b*2^16 + c*2^8 + d; 0 unless there are exactly four parts, each an
// integer text (as TextToInt reads it) from 0 to 255.
uint32_t DottedToInt(std::string_view s);
// Big-endian values of the octets at pos (1-based); 0 when s is too short.
uint16_t GetWord(std::string_view s, int pos);
uint32_t GetLong(std::string_view s, int pos);
std::string WordToBytes(uint16_t v);  // two octets, big-endian
std::string LongToBytes(uint32_t v);  // four octets, big-endian
// Copies count octets from position pos of s into dest, last octet first (big-endian wire
// octets to a little-endian machine value). dest must hold count octets; octets beyond the end
// of s are written as 0.
void ReverseCopy(std::string_view s, int pos, void* dest, int count);
// Bit i (from 0) of a byte buffer, most significant bit of each octet first. Out of range:
// TestBit answers false, SetBit does nothing.
bool TestBit(std::string_view buffer, int i);
void SetBit(std::string& buffer, int i);
bool TestBit(const uint8_t* buffer, size_t size, int i);
void SetBit(uint8_t* buffer, size_t size, int i);

}  // namespace zb
