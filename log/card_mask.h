// Masking card data in a copy of a block before it is rendered for the log.
//
// Why: at the full level every byte of a terminal or host block is dumped, and some terminals
// send a card number or track 2 in clear. The log (window and daily file) may show at most the
// first 6 and last 4 digits of a card number, and never track data. The relay itself never
// sees this code: only the copy the log renders is changed, byte for byte in place, so the
// character and hex fields of a dump line keep their widths.
//
// What is a card number here (nothing else is touched: amounts, dates, terminal and approval
// numbers are digit runs that are shorter, longer or fail the Luhn check; and no card number
// starts with 0, while zero-padded amounts and counters do):
//  - ASCII: a run of digit groups joined by single blanks or hyphens. Consecutive whole
//    groups of 13 to 19 digits in all that pass Luhn are a card number (a group is never
//    split, so a run of 20 digits without separators is no card number). When '=' (track 2)
//    or '^' (track 1) follows a group directly, the card number ends there: the longest
//    Luhn-valid 13 to 19 digits before it count, so a length prefix glued to the front does
//    not hide it. Digits between the first 6 and the last 4 become '*'; after '=' or '^'
//    everything up to the end sentinel '?', a control byte, the end of the block or the
//    longest a track can be (40 characters on track 2, 79 on track 1) becomes '*' as well.
//  - Packed decimal (track 2 equivalent data as chip terminals send it): 13 to 19 decimal
//    nibbles directly before the separator nibble D; the longest Luhn-valid such run counts,
//    since a tag and length (57 10) often stand before the number as decimal nibbles too. The middle
//    nibbles become F, and so does every decimal nibble after the D up to the end of the
//    packed field: the first nibble that is not a decimal digit (the F pad of an odd length,
//    or a byte of the next field), the end of the block, or 38 nibbles from the card number's
//    first digit (19 bytes, the longest track 2 equivalent data). Bytes that are all ASCII
//    digits are left to the ASCII rule ("...12345=" is text, not packed data).
//  - A block that starts like a connect request (0x0D, 0x21 or 0x25 and 16 digits) keeps
//    those 16 digits: they are the host's address and port.
// A card number split across two blocks is seen as two short runs and is not masked.
//
// No state, no Windows header: runs natively under the sanitizers and the fuzzer.
#pragma once
#include <string>

// Masks every card number and its track data in strBytes (a block's bytes); the length and
// every other byte stay as they are.
void MaskCardData(std::string& strBytes);

// The text the log renders for a record: a status text as it is; for a terminal or host block,
// a masked copy of the bytes its line can show (at most nCount, at most LOG_MAX_BLOCK).
std::string MaskedLogText(int nKind, int nCount, const std::string& strText);

// The Luhn check over a string of decimal digit values (0 to 9 each).
bool PassesLuhn(const unsigned char* pDigits, size_t nDigits);
