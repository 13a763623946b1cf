#include "inflate.h"

#include <array>

namespace pretrain {

namespace {

constexpr int kMaxBits = 15;
constexpr std::size_t kWindow = 1 << 15;
constexpr int kFastBits = 9;

// A canonical Huffman code: how many codes have each length, the symbols
// ordered by code, and for the next kFastBits input bits the symbol whose
// code they start with (symbol << 4 | code length), 0 for a longer code.
struct Code {
    std::array<std::uint16_t, kMaxBits + 1> count{};
    std::array<std::uint16_t, 288> symbol{};
    std::array<std::uint16_t, 1 << kFastBits> fast{};
};

// Builds the code from its code lengths. False for an over-subscribed set,
// and for an incomplete one except a lone code of one bit or no code at all
// (which decoding then refuses to use), the only incomplete sets zlib takes.
bool build(Code& code, const std::uint8_t* lengths, int n, bool allow_incomplete) {
    code.count.fill(0);
    for (int i = 0; i < n; ++i) ++code.count[lengths[i]];
    int used = n - code.count[0];
    code.count[0] = 0;
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
        left = (left << 1) - code.count[len];
        if (left < 0) return false;
    }
    if (left > 0 && !(allow_incomplete && (used == 0 || (used == 1 && code.count[1] == 1)))) return false;
    std::array<std::uint16_t, kMaxBits + 2> offset{};
    for (int len = 1; len <= kMaxBits; ++len) offset[len + 1] = offset[len] + code.count[len];
    for (int i = 0; i < n; ++i) {
        if (lengths[i] != 0) code.symbol[offset[lengths[i]]++] = static_cast<std::uint16_t>(i);
    }
    // Codes are sent from their first bit on, the input is read from its
    // lowest bit: the table is indexed by the reversed code.
    code.fast.fill(0);
    std::array<unsigned, kMaxBits + 1> next{};
    for (int len = 1, start = 0; len <= kMaxBits; ++len) {
        start = (start + code.count[len - 1]) << 1;
        next[len] = start;
    }
    for (int i = 0; i < n; ++i) {
        int len = lengths[i];
        if (len == 0) continue;
        unsigned value = next[len]++;
        if (len > kFastBits) continue;
        unsigned reversed = 0;
        for (int b = 0; b < len; ++b) reversed |= ((value >> b) & 1) << (len - 1 - b);
        for (unsigned k = reversed; k < (1u << kFastBits); k += 1u << len) {
            code.fast[k] = static_cast<std::uint16_t>(i << 4 | len);
        }
    }
    return true;
}

class Inflater {
public:
    Inflater(const std::uint8_t* data, std::size_t size, std::uint64_t limit, std::uint64_t window)
        : data_(data), size_(size), limit_(limit), window_(window) {}

    std::optional<std::uint64_t> run() {
        bool last = false;
        while (!last) {
            int header = bits(3);
            if (header < 0) return {};
            last = header & 1;
            int type = header >> 1;
            bool ok = type == 0 ? stored() : type == 1 ? fixed() : type == 2 ? dynamic() : false;
            if (!ok) return {};
        }
        // The Adler-32 of the output follows, byte aligned.
        align();
        if (pos_ + 4 > size_) return {};
        std::uint32_t expected = (std::uint32_t(data_[pos_]) << 24) | (std::uint32_t(data_[pos_ + 1]) << 16) |
                                 (std::uint32_t(data_[pos_ + 2]) << 8) | data_[pos_ + 3];
        if (((b_ % 65521) << 16 | (a_ % 65521)) != expected) return {};
        return out_;
    }

private:
    void refill() {
        while (bit_count_ <= 56 && pos_ < size_) {
            bit_buffer_ |= std::uint64_t(data_[pos_++]) << bit_count_;
            bit_count_ += 8;
        }
    }

    int bits(int need) {
        if (bit_count_ < need) refill();
        if (bit_count_ < need) return -1;
        int value = static_cast<int>(bit_buffer_ & ((1u << need) - 1));
        bit_buffer_ >>= need;
        bit_count_ -= need;
        return value;
    }

    // Drops the bits left of the current byte; whole bytes read ahead go
    // back to the input.
    void align() {
        pos_ -= static_cast<std::size_t>(bit_count_ / 8);
        bit_buffer_ = 0;
        bit_count_ = 0;
    }

    // The caller has checked the limit.
    void put(std::uint8_t byte) {
        history_[static_cast<std::size_t>(out_++) & (kWindow - 1)] = byte;
        a_ += byte;
        b_ += a_;
        if ((out_ & 0xFFF) == 0) a_ %= 65521, b_ %= 65521;
    }

    bool emit(std::uint8_t byte) {
        if (out_ + 1 >= limit_) return false;
        put(byte);
        return true;
    }

    // The next symbol of `code`, or -1 at the end of the input or on a bit
    // pattern the code does not have.
    int decode(const Code& code) {
        if (bit_count_ < kFastBits) refill();
        if (bit_count_ >= kFastBits) {
            unsigned entry = code.fast[bit_buffer_ & ((1u << kFastBits) - 1)];
            if (entry != 0) {
                bit_buffer_ >>= entry & 15;
                bit_count_ -= static_cast<int>(entry & 15);
                return static_cast<int>(entry >> 4);
            }
        }
        int value = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxBits; ++len) {
            int bit = bits(1);
            if (bit < 0) return -1;
            value |= bit;
            int count = code.count[len];
            if (value - first < count) return code.symbol[index + value - first];
            index += count;
            first = (first + count) << 1;
            value <<= 1;
        }
        return -1;
    }

    bool stored() {
        align();
        if (pos_ + 4 > size_) return false;
        unsigned len = data_[pos_] | (data_[pos_ + 1] << 8);
        unsigned nlen = data_[pos_ + 2] | (data_[pos_ + 3] << 8);
        pos_ += 4;
        if (len != (~nlen & 0xFFFF) || pos_ + len > size_) return false;
        for (unsigned i = 0; i < len; ++i) {
            if (!emit(data_[pos_ + i])) return false;
        }
        pos_ += len;
        return true;
    }

    bool fixed() {
        static const std::pair<Code, Code> codes = [] {
            std::pair<Code, Code> c;
            std::uint8_t lengths[288];
            for (int i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
            build(c.first, lengths, 288, false);
            // Distance symbols 30 and 31 have codes but are invalid.
            for (int i = 0; i < 32; ++i) lengths[i] = 5;
            build(c.second, lengths, 32, false);
            return c;
        }();
        return symbols(codes.first, codes.second);
    }

    bool dynamic() {
        static const std::uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        int nlen = bits(5), ndist = bits(5), ncode = bits(4);
        if (nlen < 0 || ndist < 0 || ncode < 0) return false;
        nlen += 257, ndist += 1, ncode += 4;
        if (nlen > 286 || ndist > 30) return false;
        std::uint8_t lengths[320] = {};
        for (int i = 0; i < ncode; ++i) {
            int len = bits(3);
            if (len < 0) return false;
            lengths[order[i]] = static_cast<std::uint8_t>(len);
        }
        Code length_code;
        if (!build(length_code, lengths, 19, false)) return false;
        int index = 0;
        while (index < nlen + ndist) {
            int symbol = decode(length_code);
            if (symbol < 0) return false;
            if (symbol < 16) {
                lengths[index++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            int repeat_of = 0, repeat;
            if (symbol == 16) {
                if (index == 0) return false;
                repeat_of = lengths[index - 1];
                repeat = bits(2);
                if (repeat >= 0) repeat += 3;
            } else if (symbol == 17) {
                repeat = bits(3);
                if (repeat >= 0) repeat += 3;
            } else {
                repeat = bits(7);
                if (repeat >= 0) repeat += 11;
            }
            if (repeat < 0 || index + repeat > nlen + ndist) return false;
            while (repeat--) lengths[index++] = static_cast<std::uint8_t>(repeat_of);
        }
        // No end-of-block code: zlib refuses the block.
        if (lengths[256] == 0) return false;
        Code literal, distance;
        return build(literal, lengths, nlen, true) && build(distance, lengths + nlen, ndist, true) &&
               symbols(literal, distance);
    }

    bool symbols(const Code& literal, const Code& distance) {
        static const std::uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const std::uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        static const std::uint16_t distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                                        33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        static const std::uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
        for (;;) {
            int symbol = decode(literal);
            if (symbol < 0) return false;
            if (symbol < 256) {
                if (!emit(static_cast<std::uint8_t>(symbol))) return false;
                continue;
            }
            if (symbol == 256) return true;
            symbol -= 257;
            if (symbol >= 29) return false;
            int extra = bits(length_extra[symbol]);
            if (extra < 0) return false;
            int length = length_base[symbol] + extra;
            symbol = decode(distance);
            if (symbol < 0 || symbol >= 30) return false;
            extra = bits(distance_extra[symbol]);
            if (extra < 0) return false;
            std::uint64_t back = distance_base[symbol] + extra;
            // Reaching before the output's start (or past the window the
            // header declares) is an error, or not zlib's plain case.
            if (back > out_ || back > window_ || out_ + length >= limit_) return false;
            while (length--) put(history_[static_cast<std::size_t>(out_ - back) & (kWindow - 1)]);
        }
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint64_t bit_buffer_ = 0;
    int bit_count_ = 0;
    std::uint64_t limit_;
    std::uint64_t window_;
    std::uint64_t out_ = 0;
    std::uint64_t a_ = 1, b_ = 0;
    std::array<std::uint8_t, kWindow> history_;
};

}  // namespace

std::optional<std::uint64_t> inflated_size(const std::uint8_t* data, std::size_t size, std::uint64_t limit) {
    if (size == 0) return limit > 0 ? std::optional<std::uint64_t>(0) : std::nullopt;
    if (size < 2) return {};
    unsigned cmf = data[0], flg = data[1];
    // Deflate with a window of at most 32 KiB, a good header check, no
    // preset dictionary.
    if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 || (flg & 0x20)) return {};
    Inflater inflater(data + 2, size - 2, limit, std::uint64_t(1) << ((cmf >> 4) + 8));
    return inflater.run();
}

}  // namespace pretrain
