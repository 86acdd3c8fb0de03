#pragma once

// The text of a log line, built piece by piece without a format string: on
// the stack up to 512 bytes, with class names turned from the VM's modified
// UTF-8 into standard UTF-8. Logger::line writes it.
#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace Logger {

namespace detail {

// A line's text built on the stack; text that would not fit is marked
// incomplete instead of allocating.
class LineText {
public:
    void append(std::string_view piece) noexcept {
        if (piece.size() > sizeof(text_) - size_) {
            complete_ = false;
            return;
        }
        std::memcpy(text_ + size_, piece.data(), piece.size());
        size_ += piece.size();
    }

    bool complete() const noexcept { return complete_; }
    spdlog::string_view_t view() const noexcept { return spdlog::string_view_t(text_, size_); }

private:
    char text_[512];
    std::size_t size_ = 0;
    bool complete_ = true;
};

// The same on the heap, for the rare line that does not fit.
class LongLineText {
public:
    void append(std::string_view piece) { text_.append(piece.data(), piece.data() + piece.size()); }
    spdlog::string_view_t view() const noexcept { return spdlog::string_view_t(text_.data(), text_.size()); }

private:
    fmt::memory_buffer text_;
};

// Modified UTF-8 differs from standard UTF-8 only in C0 80 (NUL) and in
// surrogates (ED A0..ED BF), so only a name holding one of those two lead
// bytes needs more than a copy. Most names are ASCII: one pass over 8 bytes
// at a time settles those.
inline bool needsStandardUtf8(std::string_view name) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + sizeof seen <= name.size(); i += sizeof seen) {
        std::uint64_t word;
        std::memcpy(&word, name.data() + i, sizeof word);
        seen |= word;
    }
    for (; i < name.size(); ++i) {
        seen |= static_cast<unsigned char>(name[i]);
    }
    if ((seen & 0x8080808080808080U) == 0) {
        return false;
    }
    return std::memchr(name.data(), 0xC0, name.size()) != nullptr ||
           std::memchr(name.data(), 0xED, name.size()) != nullptr;
}

// Writes a modified UTF-8 name in standard UTF-8: C0 80 as the NUL byte, a
// surrogate pair as its 4-byte form, a lone surrogate (which standard UTF-8
// cannot hold) as U+FFFD. Everything else is copied as it is.
template <typename Text>
void appendStandardUtf8(Text& text, std::string_view name) {
    auto byte = [&name](std::size_t i) { return static_cast<unsigned char>(name[i]); };
    auto surrogate = [&](std::size_t i) {  // ED A0..BF xx at i
        return i + 2 < name.size() && byte(i) == 0xED && (byte(i + 1) & 0xE0) == 0xA0;
    };
    auto value = [&](std::size_t i) { return 0xD000U | ((byte(i + 1) & 0x3FU) << 6) | (byte(i + 2) & 0x3FU); };
    std::size_t copied = 0;
    std::size_t i = 0;
    while (i < name.size()) {
        if (byte(i) == 0xC0 && i + 1 < name.size() && byte(i + 1) == 0x80) {
            text.append(name.substr(copied, i - copied));
            text.append(std::string_view("\0", 1));
            i += 2;
            copied = i;
        } else if (surrogate(i)) {
            text.append(name.substr(copied, i - copied));
            const unsigned high = value(i);
            if (high <= 0xDBFFU && surrogate(i + 3) && value(i + 3) >= 0xDC00U) {
                const unsigned point = 0x10000U + ((high - 0xD800U) << 10) + (value(i + 3) - 0xDC00U);
                const char utf8[4] = {
                    static_cast<char>(0xF0U | (point >> 18)), static_cast<char>(0x80U | ((point >> 12) & 0x3FU)),
                    static_cast<char>(0x80U | ((point >> 6) & 0x3FU)), static_cast<char>(0x80U | (point & 0x3FU))};
                text.append(std::string_view(utf8, sizeof utf8));
                i += 6;
            } else {
                text.append("\xEF\xBF\xBD");
                i += 3;
            }
            copied = i;
        } else {
            ++i;
        }
    }
    text.append(name.substr(copied));
}

}  // namespace detail

// A class name as the VM reports it, in modified UTF-8, for Logger::line: it
// is written in standard UTF-8, so that the log is valid text and a search
// for the name's characters finds it. Filters keep comparing the VM's bytes.
struct ClassName {
    const char* modifiedUtf8;
};

namespace detail {

template <typename Text>
void put(Text& text, std::string_view piece) {
    text.append(piece);
}
template <typename Text>
void put(Text& text, const char* piece) {
    text.append(piece);
}
template <typename Text, typename Int, std::enable_if_t<std::is_integral_v<Int>, int> = 0>
void put(Text& text, Int value) {
    const fmt::format_int digits(value);
    text.append(std::string_view(digits.data(), digits.size()));
}
template <typename Text>
void put(Text& text, ClassName name) {
    const std::string_view bytes(name.modifiedUtf8);
    if (needsStandardUtf8(bytes)) {
        appendStandardUtf8(text, bytes);
    } else {
        text.append(bytes);
    }
}

}  // namespace detail

}  // namespace Logger
