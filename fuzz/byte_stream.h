// A forward-only reader over part of a fuzzer input. Reading past the end
// gives zeros (or nothing), so every input, however short, is a valid one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo::fuzz {

class ByteStream {
  public:
    ByteStream() = default;
    ByteStream(const std::uint8_t* data, std::size_t size) : at_(data), left_(size) {}

    bool empty() const { return left_ == 0; }
    std::size_t left() const { return left_; }

    std::uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *at_++;
    }
    std::uint16_t le16() {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t le32() {
        const std::uint16_t low = le16();
        return low | std::uint32_t{le16()} << 16;
    }
    // Copies up to n bytes into out and returns how many there were; the rest
    // of out is left alone.
    std::size_t take(std::uint8_t* out, std::size_t n) {
        const std::size_t got = n < left_ ? n : left_;
        for (std::size_t i = 0; i < got; ++i) out[i] = at_[i];
        at_ += got;
        left_ -= got;
        return got;
    }
    // Splits off the next n bytes (fewer at the end) as a stream of their own.
    ByteStream split(std::size_t n) {
        const std::size_t got = n < left_ ? n : left_;
        ByteStream part(at_, got);
        at_ += got;
        left_ -= got;
        return part;
    }

  private:
    const std::uint8_t* at_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace kelvo::fuzz
