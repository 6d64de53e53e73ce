// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/output.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"

namespace vorn {

namespace {

// The code point of the valid UTF-8 sequence of `len` bytes at the start
// of `s`.
char32_t _output_codepoint(std::string_view s, std::size_t len) {
    const auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[i])); };
    if (len == 1) return b(0);
    char32_t cp = b(0) & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (b(i) & 0x3F);
    return cp;
}

// Columns a terminal gives the character `cp`: none for combining marks and
// zero-width characters, two for the wide characters of East Asian
// scripts (Hangul, CJK, full-width forms), one for the rest.
int _output_columns(char32_t cp) {
    const auto in = [cp](char32_t lo, char32_t hi) { return cp >= lo && cp <= hi; };
    if (in(0x0300, 0x036F) || in(0x1AB0, 0x1AFF) || in(0x1DC0, 0x1DFF) || in(0x200B, 0x200F) || in(0x20D0, 0x20FF) ||
        in(0xFE00, 0xFE0F) || in(0xFE20, 0xFE2F)) {
        return 0;
    }
    if (in(0x1100, 0x115F) || in(0x2E80, 0x303E) || in(0x3041, 0x33FF) || in(0x3400, 0x4DBF) || in(0x4E00, 0x9FFF) ||
        in(0xA000, 0xA4CF) || in(0xAC00, 0xD7A3) || in(0xF900, 0xFAFF) || in(0xFE30, 0xFE4F) || in(0xFF00, 0xFF60) ||
        in(0xFFE0, 0xFFE6) || in(0x1F300, 0x1F64F) || in(0x1F900, 0x1F9FF) || in(0x20000, 0x3FFFD)) {
        return 2;
    }
    return 1;
}

}  // namespace

std::size_t output_width(std::string_view text) {
    std::size_t columns = 0;
    while (!text.empty()) {
        const std::size_t len = text_utf8length(text);
        columns += len == 0 ? 1 : static_cast<std::size_t>(_output_columns(_output_codepoint(text, len)));
        text.remove_prefix(len == 0 ? 1 : len);
    }
    return columns;
}

std::string output_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> width;
    for (const auto& row : rows) {
        if (width.size() < row.size()) width.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], output_width(row[i]));
    }
    std::string out;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            out += row[i];
            if (i + 1 < row.size()) out.append(width[i] - output_width(row[i]) + 2, ' ');
        }
        out += '\n';
    }
    return out;
}

void output_write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace vorn
