// What vornctl writes: JSON documents for scripts and aligned text tables
// for people, both in UTF-8 on standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn {

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

// `text` as a JSON string with its quotes.
std::string output_jsonstring(std::string_view text);

// Columns `text` takes on a terminal: UTF-8 characters one each, the wide
// ones of East Asian scripts two, combining marks none; each byte that is
// no valid UTF-8 one.
std::size_t output_width(std::string_view text);

// Rows of cells written as columns, each as wide as its widest cell (in
// terminal columns, output_width), two spaces apart, the last column
// unpadded; the first row is the heading.
std::string output_table(const std::vector<std::vector<std::string>>& rows);

// Writes `text` to standard output.
void output_write(const std::string& text);

}  // namespace vorn
