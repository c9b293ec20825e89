#include "json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reference_double.h"

namespace vrell::json {
namespace {

std::string canonical(std::string_view in) {
  auto r = parse(in);
  return r ? std::string(r->text()) : "ERR " + r.error().text(in);
}

struct Case {
  std::string input;
  std::string expected;  // canonical text, or "ERR " + error text
};

class JsonReaderErrors : public ::testing::TestWithParam<Case> {};

TEST_P(JsonReaderErrors, MessageAndPosition) {
  const std::string& in = GetParam().input;
  EXPECT_EQ(canonical(in), GetParam().expected) << in;
  // Validation alone refuses the same texts with the same errors.
  auto checked = validate(in);
  EXPECT_EQ(checked ? "valid" : "ERR " + checked.error().text(in),
            GetParam().expected.starts_with("ERR ") ? GetParam().expected : "valid")
      << in;
}

INSTANTIATE_TEST_SUITE_P(
    Positions, JsonReaderErrors,
    ::testing::Values(
        Case{"", "ERR EOF while parsing a value at line 1 column 0"},
        Case{"\n", "ERR EOF while parsing a value at line 2 column 0"},
        Case{"{", "ERR EOF while parsing an object at line 1 column 1"},
        Case{"[1,2", "ERR EOF while parsing a list at line 1 column 4"},
        Case{"\"abc", "ERR EOF while parsing a string at line 1 column 4"},
        //       ^ the closing bracket
        Case{"[1,]", "ERR trailing comma at line 1 column 4"},
        Case{"{\"a\":1,}", "ERR trailing comma at line 1 column 8"},
        Case{"1 x", "ERR trailing characters at line 1 column 3"},
        Case{"[,]", "ERR expected value at line 1 column 2"},
        Case{"nan", "ERR expected ident at line 1 column 2"},
        Case{"tru", "ERR EOF while parsing a value at line 1 column 3"},
        Case{"-01", "ERR invalid number at line 1 column 3"},
        Case{"01", "ERR invalid number at line 1 column 2"},
        Case{"-x", "ERR invalid number at line 1 column 2"},
        Case{"-", "ERR EOF while parsing a value at line 1 column 1"},
        Case{"1.", "ERR EOF while parsing a value at line 1 column 2"},
        Case{"1.x", "ERR invalid number at line 1 column 3"},
        Case{"1e", "ERR EOF while parsing a value at line 1 column 2"},
        Case{"1e+x", "ERR invalid number at line 1 column 4"},
        Case{"1e309", "ERR number out of range at line 1 column 5"},
        Case{"[-1.8e308]", "ERR number out of range at line 1 column 9"},
        // An integer too long for either integer form is a float: 1e309 is out of range.
        Case{"[1" + std::string(309, '0') + "]", "ERR number out of range at line 1 column 311"},
        Case{"{\"a\" 1}", "ERR expected `:` at line 1 column 6"},
        Case{"[1 2]", "ERR expected `,` or `]` at line 1 column 4"},
        Case{"{\"a\":1 \"b\":2}", "ERR expected `,` or `}` at line 1 column 8"},
        Case{"{1:2}", "ERR key must be a string at line 1 column 2"},
        Case{"{\"a\":1,2:3}", "ERR key must be a string at line 1 column 8"},
        Case{"\"\\x\"", "ERR invalid escape at line 1 column 3"},
        Case{"\"\\u12G4\"", "ERR invalid escape at line 1 column 6"},
        Case{"\"\\u12\"", "ERR EOF while parsing a string at line 1 column 6"},
        Case{"\"\\uD800x\"", "ERR unexpected end of hex escape at line 1 column 8"},
        Case{"\"\\uD800\\u0041\"", "ERR lone leading surrogate in hex escape at line 1 column 13"},
        Case{"\"\\uDC00\"", "ERR lone leading surrogate in hex escape at line 1 column 7"},
        Case{"{\"a\\uDFFF\":1}", "ERR lone leading surrogate in hex escape at line 1 column 9"},
        Case{"\"abc\ndef\"",
             "ERR control character (\\u0000-\\u001F) found while parsing a string at line 2 "
             "column 0"},
        Case{"[1\n,,]", "ERR expected value at line 2 column 2"},
        Case{"\r{", "ERR EOF while parsing an object at line 1 column 2"},
        Case{"\"\xff\"", "ERR invalid unicode code point at line 1 column 2"},
        Case{"\"\xe2\x82\"", "ERR invalid unicode code point at line 1 column 4"},
        Case{"\"\xed\xa0\x80\"", "ERR invalid unicode code point at line 1 column 3"},
        Case{"[1,", "ERR EOF while parsing a value at line 1 column 3"},
        Case{"{\"a\"", "ERR EOF while parsing an object at line 1 column 4"},
        Case{"{\"a\":", "ERR EOF while parsing a value at line 1 column 5"},
        // Inner arrays, read in their parent's loop.
        Case{"[[1,]]", "ERR trailing comma at line 1 column 5"},
        Case{"[[1 2]]", "ERR expected `,` or `]` at line 1 column 5"},
        Case{"[[]", "ERR EOF while parsing a list at line 1 column 3"},
        Case{"[1,[2,[3]],4", "ERR EOF while parsing a list at line 1 column 12"},
        Case{"[[1],]", "ERR trailing comma at line 1 column 6"},
        Case{"[[1]2]", "ERR expected `,` or `]` at line 1 column 5"},
        Case{"[[1]]]", "ERR trailing characters at line 1 column 6"},
        Case{"[[1],[2,[3,[]]],[]]", "[[1],[2,[3,[]]],[]]"},
        Case{"[ [ 1 , 2 ] , [ ] ]", "[[1,2],[]]"}));

INSTANTIATE_TEST_SUITE_P(
    Canonical, JsonReaderErrors,
    ::testing::Values(
        Case{"[1, 2.50, 1e2, -0]", "[1,2.5,100.0,-0.0]"}, Case{"1e-400", "0.0"},
        Case{"-1e-400", "-0.0"}, Case{"-0", "-0.0"}, Case{"5e-324", "5e-324"},
        Case{"1e16", "1e+16"}, Case{"1e15", "1000000000000000.0"}, Case{"0.00001", "0.00001"},
        Case{"0.000001", "1e-6"}, Case{"1.5e-7", "1.5e-7"},
        Case{"123456789012345678901", "1.2345678901234568e+20"},
        Case{"18446744073709551615", "18446744073709551615"},
        Case{"18446744073709551616", "1.8446744073709552e+19"},
        Case{"-9223372036854775808", "-9223372036854775808"},
        Case{"-9223372036854775809", "-9.223372036854776e+18"}, Case{"0.1", "0.1"},
        Case{"1E2", "100.0"}, Case{"0e999999999999", "0.0"},
        Case{" \t\r\n{ \"b\" : 1 , \"a\" : [ ] } \n", "{\"a\":[],\"b\":1}"},
        Case{"{\"b\":1,\"a\":2,\"a\":3}", "{\"a\":3,\"b\":1}"},
        Case{"{\"a\":1,\"a\":{\"z\":1,\"y\":2}}", "{\"a\":{\"y\":2,\"z\":1}}"},
        Case{"{\"\\u00e9\":1,\"z\":2,\"B\":3}", "{\"B\":3,\"z\":2,\"é\":1}"},
        Case{"\"\\u00e9\\n\\u0001\\/\x7f\\ud83d\\ude00\"", "\"é\\n\\u0001/\x7f😀\""},
        Case{"\"\\b\\f\\r\\t\\\"\\\\\"", "\"\\b\\f\\r\\t\\\"\\\\\""}, Case{"true", "true"},
        Case{"[false,null]", "[false,null]"},
        // Reordering moves the largest member in place: first, middle,
        // last, and as a repeated key that loses or wins.
        Case{"{\"b\":[1,2,3,4],\"a\":1}", "{\"a\":1,\"b\":[1,2,3,4]}"},
        Case{"{\"c\":1,\"a\":[1,2,3],\"b\":2}", "{\"a\":[1,2,3],\"b\":2,\"c\":1}"},
        Case{"{\"c\":1,\"b\":2,\"a\":0,\"d\":[7,7,7]}", "{\"a\":0,\"b\":2,\"c\":1,\"d\":[7,7,7]}"},
        Case{"{\"b\":1,\"a\":[1,2],\"b\":[4,5,6,7,8]}", "{\"a\":[1,2],\"b\":[4,5,6,7,8]}"},
        Case{"{\"b\":0,\"a\":[1,2,3,4,5],\"a\":1}", "{\"a\":1,\"b\":0}"},
        Case{"{\"z\":{\"y\":[1,2,3],\"x\":0},\"a\":-1.50}",
             "{\"a\":-1.5,\"z\":{\"x\":0,\"y\":[1,2,3]}}"},
        // Floats through the fast read: 17 digits, halfway points, edges.
        Case{"[-65.613616999999977,43.420273000000009]", "[-65.61361699999998,43.42027300000001]"},
        Case{"9007199254740993", "9007199254740993"},
        Case{"9007199254740993.0", "9007199254740992.0"},
        Case{"9007199254740995.0", "9007199254740996.0"},
        Case{"2.2250738585072011e-308", "2.225073858507201e-308"},
        Case{"1.7976931348623157e308", "1.7976931348623157e+308"},
        Case{"1.7976931348623159e308", "ERR number out of range at line 1 column 22"},
        Case{"0.000000000000000000001234", "1.234e-21"},
        // Plain decimals whose text is the input cut short, and those that
        // cannot be: a carry, an integer, an exponent form.
        Case{"[0.0012345678901234567,1]", "[0.0012345678901234567,1]"},
        Case{"[0.000012345678901234567,1]", "[0.000012345678901234568,1]"},
        Case{"[0.0000012345678901234567,1]", "[1.2345678901234567e-6,1]"},
        Case{"[1234567890123456.7,1]", "[1234567890123456.8,1]"},
        Case{"[12345678901234567.8,1]", "[1.2345678901234568e+16,1]"},
        Case{"[9.9999999999999999,1]", "[10.0,1]"}, Case{"[65.000000000000001,1]", "[65.0,1]"},
        Case{"[0.30000000000000001,1]", "[0.3,1]"}));

TEST(JsonReader, DepthLimit) {
  const std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(canonical(ok), ok);
  EXPECT_EQ(canonical(std::string(128, '[') + std::string(128, ']')),
            "ERR recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  EXPECT_EQ(canonical(objects), "ERR recursion limit exceeded at line 1 column 636");
  // Far past the limit: refused at the 128th level, no deep recursion.
  EXPECT_EQ(canonical(std::string(100000, '[')),
            "ERR recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, KindsFromCanonicalText) {
  const std::pair<const char*, Kind> cases[] = {{"null", Kind::Null},       {"false", Kind::Bool},
                                                {"-1", Kind::Number},       {"1.5", Kind::Number},
                                                {"\"s\"", Kind::String},    {"[]", Kind::Array},
                                                {"{\"a\":1}", Kind::Object}};
  for (const auto& [text, kind] : cases) {
    auto v = parse(text);
    ASSERT_TRUE(v) << text;
    EXPECT_EQ(v->kind(), kind) << text;
  }
}

TEST(JsonWriter, StringEscapes) {
  std::string out;
  write_string(out, std::string_view("a\"b\\c\b\f\n\r\t\x01\x1f/\x7f\xc3\xa9", 16));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\\u001f/\x7f\xc3\xa9\"");
}

TEST(JsonWriter, FloatForms) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1e-5, "0.00001"},
      {1.5e-7, "1.5e-7"},
      {123.456, "123.456"},
      {-2.5, "-2.5"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1.2345678901234568e+20, "1.2345678901234568e+20"},
      {0.1 + 0.2, "0.30000000000000004"},
      {std::nan(""), "null"},
      {INFINITY, "null"},
      {-INFINITY, "null"}};
  for (const auto& [v, text] : cases) {
    std::string out;
    write_f64(out, v);
    EXPECT_EQ(out, text);
  }
}

// Every finite double written must read back to the same bits, in the layout
// that its decimal exponent calls for.
TEST(JsonWriter, FloatRoundTripRandom) {
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 200000; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    std::string out;
    write_f64(out, v);
    auto back = parse(out);
    ASSERT_TRUE(back) << out;
    double d = 0;
    ASSERT_EQ(
        reference_from_chars(back->text().data(), back->text().data() + back->text().size(), d).ec,
        std::errc())
        << out;
    ASSERT_EQ(std::bit_cast<uint64_t>(d), std::bit_cast<uint64_t>(v)) << out;
    const double mag = std::fabs(v);
    const bool plain = mag == 0 || (mag >= 1e-5 && mag < 1e16);
    ASSERT_EQ(out.find('e') == std::string::npos, plain) << out;
    if (plain) {
      ASSERT_NE(out.find('.'), std::string::npos) << out;
    }
  }
}

// Decimals the reader lays out without converting (few digits) and those it
// converts must both come out as the double's own canonical text.
TEST(JsonReader, DecimalsReadAsTheirDoubles) {
  std::mt19937_64 rng(31);
  for (int i = 0; i < 200000; ++i) {
    // Up to 19 digits mostly; one in eight longer (up to 44), with leading zeros.
    const int digits = 1 + static_cast<int>(rng() % (i % 8 == 0 ? 44 : 19));
    std::string mantissa = std::to_string(rng() % 10000000000000000000u);
    while (mantissa.size() < static_cast<size_t>(digits)) {
      mantissa += std::to_string(rng() % 10000000000000000000u);
    }
    mantissa.resize(static_cast<size_t>(digits));
    const size_t point = rng() % (mantissa.size() + 1);
    if (point < mantissa.size()) mantissa.insert(point == 0 ? 0 : point, point == 0 ? "0." : ".");
    if (i % 16 == 0 && mantissa.find('.') == std::string::npos) {
      mantissa.insert(0, std::string(rng() % 24, '0')).insert(0, "0.");
    }
    // Half without an exponent, where the output may be the input cut short;
    // half of those with room after them for the copy's 32-byte read.
    std::string text = rng() % 2 ? "-" : "";
    text.append(mantissa);
    if (rng() % 2) {
      text.append("e").append(std::to_string(static_cast<int>(rng() % 660) - 330));
    } else if (mantissa.find('.') == std::string::npos) {
      continue;  // an integer: kept as it is, other tests
    }
    double v = 0;
    const auto r = reference_from_chars(text.data(), text.data() + text.size(), v);
    if (rng() % 2) text += std::string(32, ' ');
    if (r.ec != std::errc()) continue;  // out of range either way: other tests
    std::string want;
    write_f64(want, v);
    ASSERT_EQ(canonical(text), want) << text;
  }
}

// Whitespace runs of every length up to past two 16-byte blocks, mixed,
// around every token, and running into the end of the input.
TEST(JsonReader, WhitespaceRunsOfAnyLength) {
  for (size_t n = 0; n <= 40; ++n) {
    std::string ws;
    for (size_t i = 0; i < n; ++i) ws += " \t\r\n"[i % 4];
    const std::string text = ws + "{" + ws + "\"a\"" + ws + ":" + ws + "[" + ws + "1" + ws + "," +
                             ws + "2" + ws + "]" + ws + "}" + ws;
    EXPECT_EQ(canonical(text), "{\"a\":[1,2]}") << n;
    EXPECT_EQ(canonical("[1" + std::string(n, ' ')),
              "ERR EOF while parsing a list at line 1 column " + std::to_string(2 + n));
  }
}

// UTF-8 of a code point, by the encoding's definition.
std::string encode_utf8(uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Text of mostly three-byte characters (the reader checks runs of them four
// at a time) built from encoded code points, with one fault of a known kind
// put in or not: accepted exactly when none was, and refused at the fault's
// first offending byte, which the test knows from how it built the text.
TEST(JsonReader, MultiByteRunsAcceptedExactlyWhenValid) {
  std::mt19937_64 rng(12);
  auto code_point = [&] {
    const uint64_t r = rng() % 100;
    if (r < 70) return static_cast<uint32_t>(0x1000 + rng() % (0xD000 - 0x1000));  // CJK-like
    if (r < 80) {
      const auto c = static_cast<uint32_t>(0x20 + rng() % 0x5F);  // ASCII, no escape
      return c == '"' || c == '\\' ? uint32_t{'a'} : c;
    }
    if (r < 90) return static_cast<uint32_t>(0x80 + rng() % 0x780);
    if (r < 95) return static_cast<uint32_t>(0xE000 + rng() % 0x2000);
    return static_cast<uint32_t>(0x10000 + rng() % 0x100000);
  };
  // Faults: the bytes, and the index of the first one a decoder must refuse.
  const struct {
    const char* bytes;
    size_t bad;
  } faults[] = {
      {"\x80", 0},
      {"\xBF", 0},
      {"\xC0\x80", 0},
      {"\xC1\xBF", 0},
      {"\xF5\x80", 0},
      {"\xFF", 0},
      {"\xE0\x9F\x80", 1},
      {"\xED\xA0\x80", 1},
      {"\xF0\x8F\x80", 1},
      {"\xF4\x90\x80", 1},
      {"\xE1\x80"
       "A",
       2},
      {"\xE1"
       "A",
       1},
      {"\xC2"
       "A",
       1},
      {"\xF1\x80\x80"
       "A",
       3},
  };
  for (int i = 0; i < 100000; ++i) {
    std::string body;
    const int units = 1 + static_cast<int>(rng() % 40);
    for (int u = 0; u < units; ++u) body += encode_utf8(code_point());
    size_t bad = std::string::npos;
    if (rng() % 2 == 0) {
      const auto& fault = faults[rng() % std::size(faults)];
      bad = 1 + body.size() + fault.bad;  // after the opening quote
      body += fault.bytes;
      for (int u = 0; u < 8; ++u) body += encode_utf8(code_point());
    }
    const std::string text = "\"" + body + "\"";
    const std::string got = canonical(text);
    if (bad == std::string::npos) {
      ASSERT_EQ(got, text);
    } else {
      ASSERT_EQ(got, "ERR invalid unicode code point at line 1 column " + std::to_string(bad + 1))
          << testing::PrintToString(text);
    }
  }
}

// A large text's block is taken over as it is; a small one lives inline and
// a block mostly slack is copied to fit. The text is left empty either way.
TEST(JsonValue, AdoptTakesOverLargeBlocksOnly) {
  const std::string big = "[\"" + std::string(kAdoptFrom, 'y') + "\"]";
  Text text;
  ASSERT_TRUE(parse_into(big, text).has_value());
  const char* block = text.data();
  Value taken = Value::adopt(std::move(text));
  EXPECT_EQ(taken.text().data(), block);
  EXPECT_EQ(taken.text(), big);
  EXPECT_EQ(text.size(), 0u);
  EXPECT_EQ(text.capacity(), 0u);

  ASSERT_TRUE(parse_into("  [1, 2]  ", text).has_value());
  Value small = Value::adopt(std::move(text));
  EXPECT_EQ(small.text(), "[1,2]");
  EXPECT_EQ(text.size(), 0u);

  // Whitespace-heavy input: the reader sized its buffer by the input.
  std::string padded(4 * kAdoptFrom, ' ');
  padded.insert(0, 1, '[');
  padded.append(1, '"').append(kAdoptFrom, 'z').append("\"]");
  ASSERT_TRUE(parse_into(padded, text).has_value());
  const char* padded_block = text.data();
  Value fitted = Value::adopt(std::move(text));
  EXPECT_NE(fitted.text().data(), padded_block);
  EXPECT_EQ(fitted.text().size(), kAdoptFrom + 4);
  EXPECT_EQ(text.capacity(), 0u);
}

// Text taken as already canonical must be exactly what the reader writes;
// everything else goes through the reader (and comes out the same either way).
TEST(JsonReader, AlreadyCanonicalTextIsKeptOnlyWhenTheReaderWouldKeepIt) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"n":1,"s":"abc"})", true},
      {R"({"a":[1,-2,true,false,null],"b":{},"c":[],"d":"Ã©"})", true},
      {"-922337203685477580", true},
      {"-9223372036854775807", false},
      {"123456789012345678", true},
      {"1234567890123456789", false},   // 19 digits: the reader decides
      {R"({"s":"abc","n":1})", false},  // unsorted
      {R"({"a":1,"a":2})", false},      // repeated key
      {R"({"a": 1})", false},           // whitespace
      {" 1", false},
      {R"({"p":98.1,"q":[-0.5,0.05,2.0,20.0,100.5]})", true},
      {"123456789012.345", true},
      {"1234567890123.456", false},  // sixteen digits: the reader decides
      {"0.00001", true},
      {"0.000001", false},  // written with an exponent
      {"1.50", false},
      {"0.0", false},
      {"-0.0", false},
      {"1e2", false},
      {"1.5e2", false},
      {"-0", false},
      {R"(["a\nb","\"\\\b\t\f\r","\u0000\u001f"])", true},  // the writer's escapes
      {R"({"a\nb":1})", false},  // keys are ordered by what they decode to
      {R"("a\/b")", false},      // other escapes are rewritten canonically
      {R"("\u001F")", false},
      {R"("\u000a")", false},
      {R"("\u0020")", false},
      {R"("\u00e9")", false},
      {"\"\xff\"", false},  // invalid UTF-8: the reader's error
      {"[1,]", false},
      {"01", false},
      {"[", false},
      {"", false},
      {"nul", false},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(is_canonical(text), expected) << text;
    Text read, parsed;
    const bool readable = read_document(text, read).has_value();
    ASSERT_EQ(parse_into(text, parsed).has_value(), readable) << text;
    if (readable) {
      EXPECT_EQ(parsed.view(), read.view()) << text;
    }
    if (expected) {
      EXPECT_EQ(read.view(), text);
    }
  }
  std::string deep(kMaxDepth, '[');
  deep.append(kMaxDepth, ']');
  EXPECT_TRUE(is_canonical(deep));
  EXPECT_FALSE(is_canonical("[" + deep + "]"));  // one level too many
}

// Past the padded copy's size, objects are read from the caller's buffer
// itself: near its end, without a load beyond it (an exact-size buffer, for
// the sanitizers), and with the results and errors of a small document.
TEST(JsonReader, ObjectsAtTheEndOfALargeDocument) {
  std::vector<std::string> tails = {
      R"({"a":1})",
      R"({"b": "x", "a": true})",
      R"({"b":{"c":[1,2]},"a":null})",
      R"({"a": -12.5e3})",
      R"({"\u00e9":"\n"})",
      R"({"a":)",
      R"({"a")",
      R"({"a":1,)",
      R"({"a":1,})",
      R"({"a":tru)",
      R"({"a":1.5)",
      R"({"a" : "b" })",
      R"({"a_key_of_twenty_nine_bytes__": "a value of twenty-nine bytes..", "b": 1})",
  };
  for (int k = 1; k <= 6; ++k) {
    std::string obj = "{";
    for (int i = k; i > 0; --i) obj += "\"k" + std::to_string(i) + "\": \"value\", ";
    tails.push_back(obj.substr(0, obj.size() - 2) + "}");
  }
  const std::string prefix = "[\"" + std::string(70000, 'x') + "\",";
  for (const std::string& tail : tails) {
    const std::string small = "[" + tail + "]";
    const std::string large = prefix + tail + "]";
    const std::vector<char> exact(large.begin(), large.end());
    const std::string_view text(exact.data(), exact.size());
    Text a, b;
    const auto want = read_document(small, a);
    const auto got = read_document(text, b);
    ASSERT_EQ(got.has_value(), want.has_value()) << tail;
    if (want) {
      EXPECT_EQ(b.view(), prefix + std::string(a.view().substr(1))) << tail;
    } else {
      EXPECT_EQ(got.error().message(), want.error().message()) << tail;
      EXPECT_EQ(got.error().offset, want.error().offset + prefix.size() - 1) << tail;
    }
    EXPECT_EQ(validate(text).has_value(), want.has_value()) << tail;
  }
}

// Validation answers most documents with a quick check that writes nothing
// and leaves whatever it does not know to the reader. Texts at the edges of
// what it knows, each in a buffer of its exact size: the answer, the error
// and its place are the reader's.
TEST(JsonValidate, AgreesWithTheReaderAtTheQuickCheckEdges) {
  const std::string deep = std::string(65, '[') + std::string(65, ']');
  const std::string too_deep = std::string(128, '[') + std::string(128, ']');
  const std::vector<std::string> texts = {
      "01",
      "-01",
      "[01]",
      "[-0]",
      "[1.]",
      "-",
      "[1e5]",
      "[12345678901234567]",
      "[123456789012345678]",
      "[0.12345678901234567]",
      R"("\u12)",
      R"("\u)",
      R"("\u00e9")",
      R"("\ud83d\ude00")",
      R"("\ud83d")",
      R"("\ud83d\u0041")",
      R"("\ude00\ud83d")",
      R"("\ud83d\ude0")",
      R"("\ud83d\ud83d")",
      R"("\q")",
      R"({"a",1})",
      R"({"a"x1})",
      R"({"a" 1})",
      R"({"a":1 "b":2})",
      R"({"a":1,})",
      "\"\xed\xa0\x80\"",
      "\"\xc3",
      "\"\xe2\x82",
      "\"\xc3\xa9\"",
      "\"\xe2\x82\xac\"",
      "\"\xe0\xa4\xb9\xed\x95\x9c\"",
      "\"\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\"",
      "\"\xe0\x9f\xbf\"",
      "\"\xf0\x8f\xbf\xbf\"",
      "\"\xf4\x90\x80\x80\"",
      "\"\xf1\x80\x80\x41\"",
      "\"\xf0\x9f\x98",
      "\"\x01\"",
      "[true, false, null]",
      "[tru]",
      "{} x",
      "1, 2",
      R"({"k\u00e9y": "a\"b", "k\"": 1})",
      "{\"cl\xc3\xa9\": 1, \"\xe6\x9d\xb1\": [\"\xe4\xba\xac\"]}",
      "{\"a\x01\": 1}",
      "{\"a\": \"0123456789abcdef\\\"x\"}",
      "[1]]",
      "[1.5e-7, -2E+3, 0e0, -0.0e-0]",
      "[1e299]",
      "[1e300]",
      "[1e309]",
      "[0.5e400]",
      "[1e00001]",
      "[1e]",
      "[1e+]",
      "[1E-x]",
      "[505874924095815681, -922337203685477580799]",
      "1" + std::string(299, '0'),
      "1" + std::string(300, '0'),
      "9" + std::string(310, '9'),
      std::string("[1,\0]", 5),
      std::string("\"a\0b\"", 5),
      std::string("{}\0", 3),
      " {\t\"a\"\n:\r[ 1 ,2\n] , \"b\" :{ } }\n",
      "{\"a\": 1,  \"b\":  2}",
      deep,
      too_deep};
  for (const std::string& t : texts) {
    const std::vector<char> exact(t.begin(), t.end());
    const std::string_view text(exact.data(), exact.size());
    Text out;
    const auto want = read_document(text, out);
    const auto got = validate(text);
    ASSERT_EQ(got.has_value(), want.has_value()) << t;
    if (!want) {
      EXPECT_EQ(got.error().code, want.error().code) << t;
      EXPECT_EQ(got.error().offset, want.error().offset) << t;
    }
  }
}

TEST(JsonReader, PrimitivesForOtherParsers) {
  Reader r("  \"k\\u0041y\" : 12");
  r.skip_ws();
  ASSERT_EQ(r.peek(), '"');
  std::string key;
  ASSERT_TRUE(r.read_string(key));
  EXPECT_EQ(key, "kAy");
  r.skip_ws();
  ASSERT_EQ(r.peek(), ':');
  r.bump();
  std::string value;
  ASSERT_TRUE(r.read_value(value));
  EXPECT_EQ(value, "12");
  EXPECT_TRUE(r.at_end());
  EXPECT_FALSE(r.fail(3, ErrorCode::DuplicateField, "k"));
  EXPECT_EQ(r.error().text(r.input()), "duplicate field `k` at line 1 column 3");
}

// Positions are counted when the text is made: lines after line feeds only,
// columns in bytes, and an offset past the end of the input clamped to it.
TEST(JsonError, TextCountsLinesAndColumnsInTheGivenInput) {
  const Error e{ErrorCode::TrailingComma, 7, {}};
  EXPECT_EQ(e.text("ab\ncd\r\nef"), "trailing comma at line 3 column 0");
  EXPECT_EQ(e.text("abc"), "trailing comma at line 1 column 3");
  EXPECT_EQ(e.message(), "trailing comma");
  EXPECT_EQ((Error{ErrorCode::InvalidType, 1, "integer `5`, expected a string"}).message(),
            "invalid type: integer `5`, expected a string");
}

}  // namespace
}  // namespace vrell::json

namespace vrell::json {
namespace {

// Values move between the inline text (up to 23 bytes) and a heap block;
// copies, moves and reassignments in every direction keep the text exact.
TEST(JsonValue, SmallAndLargeTextsSurviveCopiesMovesAndAssignments) {
  const std::string small = "{\"n\":1,\"s\":\"abc\"}";
  const std::string edge(23, '7');
  const std::string just_over(24, '8');
  std::string large(202, '1');
  large.front() = '[';
  large.back() = ']';
  const std::string* const texts[] = {&small, &edge, &just_over, &large};
  for (const std::string* first : texts) {
    for (const std::string* second : texts) {
      Value a = Value::from_canonical(*first);
      EXPECT_EQ(a.text(), *first);
      Value b = a;  // copy
      EXPECT_EQ(b.text(), *first);
      Value c = std::move(a);  // move leaves null behind
      EXPECT_EQ(c.text(), *first);
      EXPECT_EQ(a.text(), "null");
      c.assign(*second);
      EXPECT_EQ(c.text(), *second);
      b = c;  // copy assignment over a value of another size
      EXPECT_EQ(b.text(), *second);
      a = std::move(b);
      EXPECT_EQ(a.text(), *second);
      EXPECT_EQ(b.text(), "null");
      EXPECT_TRUE(a == c);
    }
  }
  EXPECT_EQ(Value().text(), "null");
  EXPECT_EQ(Value::empty_object().text(), "{}");
}

}  // namespace
}  // namespace vrell::json
