// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/text.h"

#include <algorithm>
#include <cstdio>

namespace vorn {

std::size_t text_utf8length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || len > s.size()) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((b(i) & 0xC0) != 0x80) return 0;
    }
    if (len == 2 && c < 0xC2) return 0;
    if (len == 3 && ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) >= 0xA0))) return 0;
    if (len == 4 && ((c == 0xF0 && b(1) < 0x90) || c > 0xF4 || (c == 0xF4 && b(1) >= 0x90))) return 0;
    return len;
}

std::string text_jsonstring(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text[0]);
        const std::size_t len = text_utf8length(text);
        if (len == 0) {
            out += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text.substr(0, len));
        }
        text.remove_prefix(len);
    }
    return out + "\"";
}

void JsonWriter::_value_start() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
}

JsonWriter& JsonWriter::begin_object() {
    _value_start();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    out_ += '}';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    _value_start();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    out_ += ']';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    _value_start();
    out_ += text_jsonstring(name);
    out_ += ':';
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
    _value_start();
    out_ += text_jsonstring(text);
    return *this;
}

JsonWriter& JsonWriter::number(long long value) {
    _value_start();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::digits(std::string_view digits) {
    _value_start();
    out_ += digits;
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    _value_start();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    _value_start();
    out_ += "null";
    return *this;
}

namespace {

// U+FFFE or U+FFFF at the start of `s` (a valid sequence of `len` bytes):
// valid UTF-8, but no character of XML 1.0.
bool _text_xmlnoncharacter(std::string_view s, std::size_t len) {
    return len == 3 && s[0] == '\xEF' && s[1] == '\xBF' && (s[2] == '\xBE' || s[2] == '\xBF');
}

}  // namespace

std::string text_xmlsafe(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text[0]);
        const std::size_t len = text_utf8length(text);
        if (len == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F ||
            _text_xmlnoncharacter(text, len)) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(text.substr(0, len));
        }
        text.remove_prefix(len == 0 ? 1 : len);
    }
    return out;
}

std::string text_xmlescape(std::string_view text) {
    std::string out;
    for (const char c : text_xmlsafe(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

char32_t text_utf8char(std::string_view s, std::size_t len) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (len <= 1) return byte(0);
    char32_t c = byte(0) & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) c = (c << 6) | (byte(i) & 0x3F);
    return c;
}

std::size_t text_utf8count(std::string_view s) {
    std::size_t n = 0;
    for (; !s.empty(); ++n) s.remove_prefix(std::max<std::size_t>(text_utf8length(s), 1));
    return n;
}

std::string text_utf8encode(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string text_base64(std::string_view bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += kDigits[(v >> shift) & 0x3F];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0);
        out += kDigits[(v >> 18) & 0x3F];
        out += kDigits[(v >> 12) & 0x3F];
        out += two ? kDigits[(v >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}

}  // namespace vorn
