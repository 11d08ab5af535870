// Masking card data in a copy of a block before it is rendered for the log.
//
// Why: at the full level every byte of a terminal or host block is dumped, and some terminals
// send a card number or track 2 in clear. The log (window and daily file) may show at most the
// first 6 and last 4 digits of a card number, and never track data. The relay itself never
// sees this code: only the copy the log renders is changed, byte for byte in place, so the
// character and hex fields of a dump line keep their widths. The block is taken by its byte
// count: a zero byte is a byte like any other and never ends what is looked at.
//
// The log is also the record a shop shows when a payment is disputed, so masking changes no
// byte that is not part of a card number or of the track data behind it: an approval number,
// an amount, an answer code, a date or a tag next to a card number reads as it was sent.
//
// A card number is 13 to 19 digits that pass the Luhn check and do not start with 0 (no
// issuer's number does; zero-padded amounts and counters do). Where it can be:
//  - ASCII, one digit run with a non-digit (or the block's edge) on each side. A run of 14
//    digits that reads as a date and time (YYYYMMDDhhmmss, years 1900 to 2099) is a time
//    stamp: no issuer's 14-digit number starts with 19 or 20.
//  - ASCII, grouped: runs joined by single blanks or hyphens, the first group of 4 digits,
//    every other of 3 to 6 (4-4-4-4, 4-6-5, 4-6-4, 4-4-4-4-3); consecutive whole groups count.
//  - ASCII, inside a longer run only where the run's layout marks it: behind a two-digit length
//    prefix that equals its own length at the run's start ("16" + 16 digits), and/or followed
//    by an expiry date YYMM (month 01 to 12) that ends the run. Nothing else inside a longer
//    run: a fixed-width message runs amounts, dates and counters together, and a window search
//    would find Luhn-valid stretches in about one of ten of them.
//  - ASCII track data: directly before '=' (track 2), '^' (track 1), or a 'D' followed by an
//    expiry date (track 2 written as hex text); the longest Luhn-valid 13 to 19 final digits of
//    the run count, so a length prefix or tag glued to the front does not hide it. Behind '='
//    and 'D' the digits of the track are masked up to the first non-digit (the 'F' pad and the
//    end sentinel stay); behind '^' everything up to '?', a control byte or 79 characters.
//  - Packed decimal track 2 (as chip terminals send it, tag 57 or a fixed-layout field):
//    13 to 19 decimal nibbles starting at a byte boundary, then the separator nibble D, then
//    the track's expiry date (YYMM, month 01 to 12) and service code (first digit 1, 2, 5, 6,
//    7 or 9). Where it stands:
//     - behind a byte that can be its field's length (from the bytes up to the service code
//       to 19, the longest track 2 equivalent data; a tag 57's length byte is one): the field
//       must hold decimal track data to its end (one F pad allowed). Among the lengths that
//       fit the same separator, such a one wins;
//     - otherwise the number must start its own run of decimal nibbles, must not be text
//       (every byte holding its digits printable ASCII, 0x20 to 0x7E: ASCII digits and
//       letters A-I, P-Y are decimal nibbles and '=' (0x3D) ends in D, so "4444 AUTH=" would
//       read as 19 packed digits), and, unless it starts the block, its track must fill a
//       fixed-width field: an F pad behind it runs to the field's 19th byte (such a field
//       holds the longest track, 37 characters) or to the block's end, or it is a field
//       between delimiters: STX or FS (0x1C) before it, and FS, ETX or the block's end right
//       behind the F pad that ends its last byte. A lone F with neither is no pad: EMV tags
//       (9F.., 5F..) and binary bytes give one next to decimal-looking bytes.
//    The common lengths are tried first (16, 15, 19, 14, 13, 17, 18). Behind the D, decimal
//    nibbles are masked up to the first other nibble, the end of the field the length byte
//    gives, or 38 nibbles from the first digit.
//  - Packed card number of EMV tag 5A: the byte 5A, a length byte of 7 to 10, then that many
//    bytes of 13 to 19 decimal nibbles padded with F to the end of the value, not running on
//    into ASCII text (a last byte that is an ASCII letter or digit and an ASCII digit behind
//    it: no EMV tag is 0x30 to 0x39, so "AUTH" and digits after binary bytes 5A 09 are text).
//    The bytes 5A, a length and Luhn-valid decimal digits are masked wherever else they stand,
//    also inside other binary fields: nothing in them tells them from a card number.
// Masked digits become '*' (ASCII) or the nibble F (packed); the first 6 and the last 4 digits
// of the number stay. Never masked: the 16 address digits of a terminal frame that is a
// connect request (0x0D, 0x21 or 0x25 and 16 digits; a host block never is one), length
// prefixes, tags, expiry dates written outside a track, F pads.
// A Luhn-valid run of 13 to 19 digits standing alone is masked even when it is really two
// fields written together (about one such run in ten passes the check): recall first there.
// A card number split across two blocks is seen as two short runs and is not masked.
//
// No state, no Windows header: runs natively under the sanitizers and the fuzzer.
#pragma once
#include <string>

// Masks every card number and its track data in strBytes (a block's bytes, all of them); the
// length and every other byte stay as they are. bTerminalFrame: the bytes came from the
// terminal (only such a frame can be a connect request).
void MaskCardData(std::string& strBytes, bool bTerminalFrame);

// The text the log renders for a record: a status text as it is; for a terminal or host block,
// a masked copy of its first nCount bytes (at most LOG_MAX_BLOCK, and at most what it holds).
std::string MaskedLogText(int nKind, int nCount, const std::string& strText);

// The Luhn check over a string of decimal digit values (0 to 9 each).
bool PassesLuhn(const unsigned char* pDigits, size_t nDigits);

// True when the nDigits ASCII digits at pDigits read as a date and time YYYYMMDDhhmmss (14
// digits, years 1900 to 2099): such a run is a time stamp, not a card number.
bool IsTimestampRun(const char* pDigits, size_t nDigits);
