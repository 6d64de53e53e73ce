// SPDX-License-Identifier: GPL-3.0-or-later
// Texts made for other programs to read: JSON documents, XML attribute
// and element text, base64.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when none
// starts there (overlong forms, surrogates and values past U+10FFFF are not
// valid).
std::size_t text_utf8length(std::string_view s);

// `text` as a JSON string with its quotes; bytes that are not valid UTF-8
// become U+FFFD.
std::string text_jsonstring(std::string_view text);

// `text` for an XML attribute value or element: the five markup characters
// as entities; control characters other than tab, line feed and carriage
// return, U+FFFE, U+FFFF and bytes that are not valid UTF-8 (surrogates and
// overlong forms included) as U+FFFD, so that the result holds only
// characters XML 1.0 allows.
std::string text_xmlescape(std::string_view text);

// `text` with what text_xmlescape shows as U+FFFD replaced by it, and the
// markup characters kept: the characters an XML document of it shows.
std::string text_xmlsafe(std::string_view text);

// The character of the valid UTF-8 sequence of `len` bytes
// (text_utf8length) at the start of `s`.
char32_t text_utf8char(std::string_view s, std::size_t len);

// The characters of `s`, each byte that starts no valid sequence one.
std::size_t text_utf8count(std::string_view s);

// The UTF-8 bytes of the character `c` (at most U+10FFFF).
std::string text_utf8encode(char32_t c);

// `bytes` in base64 (RFC 4648, with padding).
std::string text_base64(std::string_view bytes);

// Builds one compact JSON document. Commas are placed by the writer; keys
// and strings are escaped, and bytes that are not valid UTF-8 become
// U+FFFD, so any counter name or record gives valid JSON.
class JsonWriter {
public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);
    JsonWriter& string(std::string_view text);
    JsonWriter& number(long long value);
    // A number of any size, written as its decimal digits (`digits` holds
    // nothing else and has no leading zero but for 0 itself), perhaps with
    // a sign and a fraction ("-3", "0.000810").
    JsonWriter& digits(std::string_view digits);
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    // A string, or null when there is none.
    JsonWriter& string_or_null(const std::string* text) { return text ? string(*text) : null(); }
    const std::string& text() const { return out_; }

private:
    void _value_start();
    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool after_key_ = false;
};

}  // namespace vorn
