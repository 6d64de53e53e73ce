// SPDX-License-Identifier: GPL-3.0-or-later
// Texts made for other programs: whatever bytes a counter name or record
// holds, a JSON or XML reader takes the result, and base64 decodes back.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "base/text.h"

namespace vorn::test {
namespace {

using nlohmann::json;

TEST(text_base64, ReferenceVectors) {
    // RFC 4648, section 10.
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, coded] : vectors) EXPECT_EQ(text_base64(plain), coded) << plain;
    EXPECT_EQ(text_base64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(text_utf8length, ValidSequencesOnly) {
    EXPECT_EQ(text_utf8length("a"), 1u);
    EXPECT_EQ(text_utf8length("\xc3\xa9"), 2u);          // é
    EXPECT_EQ(text_utf8length("\xed\x95\x9c"), 3u);      // 한
    EXPECT_EQ(text_utf8length("\xf0\x9f\x98\x80"), 4u);  // an emoji
    EXPECT_EQ(text_utf8length("\xc0\xaf"), 0u);          // an overlong '/'
    EXPECT_EQ(text_utf8length("\xed\xa0\x80"), 0u);      // a surrogate
    EXPECT_EQ(text_utf8length("\xf4\x90\x80\x80"), 0u);  // past U+10FFFF
    EXPECT_EQ(text_utf8length("\xe2\x82"), 0u);          // cut short
    EXPECT_EQ(text_utf8length("\x80"), 0u);
    EXPECT_EQ(text_utf8length(""), 0u);
}

// Every byte value, alone and among text, gives a string a JSON parser
// reads back: valid UTF-8 as it was, anything else as U+FFFD.
TEST(text_jsonstring, AnyBytesGiveValidJson) {
    for (int b = 0; b < 256; ++b) {
        const std::string raw = "a" + std::string(1, static_cast<char>(b)) + "\"\\z";
        const json parsed = json::parse(text_jsonstring(raw), nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << b;
        const std::string expected = b < 0x80 ? raw : "a\xef\xbf\xbd\"\\z";
        EXPECT_EQ(parsed.get<std::string>(), expected) << b;
    }
    EXPECT_EQ(json::parse(text_jsonstring("\xed\x95\x9c\xea\xb8\x80")).get<std::string>(), "\xed\x95\x9c\xea\xb8\x80");
}

TEST(text_xmlescape, MarkupAndBytesXmlRefuses) {
    EXPECT_EQ(text_xmlescape("<b a=\"1\">'&'</b>"), "&lt;b a=&quot;1&quot;&gt;&apos;&amp;&apos;&lt;/b&gt;");
    // XML 1.0 allows tab, line feed and carriage return, no other control.
    EXPECT_EQ(text_xmlescape(std::string("a\x01\x1f\x7f\tb", 6)), "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\tb");
    EXPECT_EQ(text_xmlescape("\xff\xed\x95\x9c"), "\xef\xbf\xbd\xed\x95\x9c");
    // Valid UTF-8 that is no XML character, and sequences that are no UTF-8,
    // beside their nearest neighbours that XML allows.
    const char* rows[][2] = {
        {"\xef\xbf\xbe", "\xef\xbf\xbd"},                  // U+FFFE
        {"\xef\xbf\xbf", "\xef\xbf\xbd"},                  // U+FFFF
        {"\xef\xbf\xbe\xc6", "\xef\xbf\xbd\xef\xbf\xbd"},    // an EUC-KR name read as UTF-8
        {"\xef\xbf\xbd", "\xef\xbf\xbd"},                  // U+FFFD itself
        {"\xef\xbf\xbc", "\xef\xbf\xbc"},                  // U+FFFC
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},            // U+10FFFF
        {"\xed\x9f\xbf", "\xed\x9f\xbf"},                  // U+D7FF
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate, byte by byte
        {"\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // an overlong '/'
    };
    for (const auto& [raw, escaped] : rows) EXPECT_EQ(text_xmlescape(raw), escaped) << raw;
}

TEST(JsonWriter, NestingCommasAndNumbersOfAnySize) {
    JsonWriter w;
    const std::string none;
    w.begin_object().key("a").begin_array().number(-3).boolean(true).null().end_array();
    w.key("b").begin_object().end_object().key("c").digits("123456789012345678901234567890");
    w.key("d").string_or_null(nullptr).key("e").string_or_null(&none).end_object();
    EXPECT_EQ(w.text(), R"({"a":[-3,true,null],"b":{},"c":123456789012345678901234567890,"d":null,"e":""})");
    EXPECT_FALSE(json::parse(w.text(), nullptr, false).is_discarded());
}

}  // namespace
}  // namespace vorn::test
