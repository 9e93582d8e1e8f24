// First bytes of the wire format. Compact families carry their value, length
// or count in the low bits of the first byte; every other family is named by
// one fixed byte followed by big-endian fields.
#pragma once

#include <cstdint>

namespace quelm::wire {

// Compact families: the first byte ORed with the value, length or count.
constexpr uint8_t fixmap = 0x80;          // 0x80-0x8f: up to 15 pairs
constexpr uint8_t fixarray = 0x90;        // 0x90-0x9f: up to 15 items
constexpr uint8_t fixstr = 0xa0;          // 0xa0-0xbf: up to 31 bytes
constexpr uint64_t fixint_max = 0x7f;     // 0x00-0x7f: the integer itself
constexpr int64_t negative_fixint_min = -32;  // 0xe0-0xff: -32 to -1
constexpr uint32_t fixmap_max = 15;
constexpr uint32_t fixarray_max = 15;
constexpr uint64_t fixstr_max = 31;

constexpr uint8_t nil = 0xc0;
constexpr uint8_t false_ = 0xc2;
constexpr uint8_t true_ = 0xc3;
constexpr uint8_t bin8 = 0xc4;
constexpr uint8_t bin16 = 0xc5;
constexpr uint8_t bin32 = 0xc6;
constexpr uint8_t ext8 = 0xc7;
constexpr uint8_t ext16 = 0xc8;
constexpr uint8_t ext32 = 0xc9;
constexpr uint8_t float32 = 0xca;
constexpr uint8_t float64 = 0xcb;
constexpr uint8_t uint8 = 0xcc;
constexpr uint8_t uint16 = 0xcd;
constexpr uint8_t uint32 = 0xce;
constexpr uint8_t uint64 = 0xcf;
constexpr uint8_t int8 = 0xd0;
constexpr uint8_t int16 = 0xd1;
constexpr uint8_t int32 = 0xd2;
constexpr uint8_t int64 = 0xd3;
constexpr uint8_t fixext1 = 0xd4;
constexpr uint8_t fixext2 = 0xd5;
constexpr uint8_t fixext4 = 0xd6;
constexpr uint8_t fixext8 = 0xd7;
constexpr uint8_t fixext16 = 0xd8;
constexpr uint8_t str8 = 0xd9;
constexpr uint8_t str16 = 0xda;
constexpr uint8_t str32 = 0xdb;
constexpr uint8_t array16 = 0xdc;
constexpr uint8_t array32 = 0xdd;
constexpr uint8_t map16 = 0xde;
constexpr uint8_t map32 = 0xdf;

// The extension type code reserved for timestamps.
constexpr int8_t timestamp_code = -1;
// Seconds that fit the 34-bit field of the 8-byte timestamp layout.
constexpr uint64_t timestamp34_mask = ~((uint64_t{1} << 34) - 1);

}  // namespace quelm::wire
