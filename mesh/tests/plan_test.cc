#include "plan.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace vrell {
namespace {

constexpr std::string_view kEmptyPlanText =
    R"({"app_name":"","backends":{},"functions":[],"agents":[]})";

std::string written(const Plan& plan) {
  std::string out;
  plan.write_json(out);
  return out;
}

// The written text of a parse, or the error text.
std::string outcome(std::string_view input) {
  auto plan = Plan::from_json(input);
  if (!plan) return plan.error().text();
  return written(*plan);
}

std::string serialization(std::string_view message) {
  return "Serialization error: " + std::string(message);
}

// Object members sorted, so that texts differing only in backend order compare equal.
std::string normalised(std::string_view text) {
  auto v = json::parse(text);
  if (!v) return "unparsable: " + v.error().text(text);
  return std::string(v->text());
}

std::string nested_arrays(int levels) {
  return std::string(static_cast<size_t>(levels), '[') +
         std::string(static_cast<size_t>(levels), ']');
}

struct Case {
  std::string input;
  std::string expected;
};

TEST(PlanTest, EmptyInputsGiveTheDefaultPlan) {
  const std::vector<std::string> inputs = {
      "", "  \n", "{}", " {} ", "\t\v\f\r\n", "\u00A0{}\u3000", "\u2028\u2029", "\u0085{}\u205F",
  };
  for (const auto& input : inputs) {
    EXPECT_EQ(outcome(input), kEmptyPlanText) << input;
  }
}

TEST(PlanTest, TrimsExactlyTheUnicodeWhiteSpace) {
  const std::vector<std::string> white = {
      "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00A0", "\u1680",
      "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
      "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
  };
  const std::string fault = "invalid type: integer `5`, expected a string at line 1 column 13";
  for (const auto& w : white) {
    EXPECT_EQ(outcome(w + w + R"({"app_name":5})" + w), serialization(fault)) << w;
  }
  // Blank-looking characters without the property stay, and are not JSON.
  const std::vector<std::string> kept = {"\u180E", "\u200B", "\u2060", "\uFEFF", "\u00AD"};
  for (const auto& k : kept) {
    EXPECT_EQ(outcome(k + "{}"), serialization("expected value at line 1 column 1")) << k;
    EXPECT_EQ(outcome("{}" + k), serialization("missing field `app_name` at line 1 column 2")) << k;
  }
}

TEST(PlanTest, ParsesAndWritesSingleBackendPlans) {
  const std::vector<Case> cases = {
      {R"({"app_name":"myapp"})",
       R"({"app_name":"myapp","backends":{},"functions":[],"agents":[]})"},
      {R"({"app_name":"myapp","backends":{"db":{"backend_type":"sqlite"}},"extra":1})",
       R"({"app_name":"myapp","backends":{"db":{"backend_type":"sqlite","config":null}},)"
       R"("functions":[],"agents":[]})"},
      // config is normalised: sorted keys, canonical numbers.
      {R"({"app_name":"a","backends":{"db":{"config":{"z":1,"a":[1, 2.50, 1e2, -0]},)"
       R"("backend_type":"redis"}}})",
       R"({"app_name":"a","backends":{"db":{"backend_type":"redis","config":)"
       R"({"a":[1,2.5,100.0,-0.0],"z":1}}},"functions":[],"agents":[]})"},
      // Member order on input does not matter; list order and duplicates are kept.
      {R"({"agents":["b","a","b"],"functions":["f"],"app_name":"x"})",
       R"({"app_name":"x","backends":{},"functions":["f"],"agents":["b","a","b"]})"},
      {R"( { "app_name" : "a" , "functions" : [ "f" , "g" ] , "agents" : [ ] } )",
       R"({"app_name":"a","backends":{},"functions":["f","g"],"agents":[]})"},
      // Keys are matched after their escapes are resolved.
      {R"({"app\u005fname":"x","\u0061gents":["y"]})",
       R"({"app_name":"x","backends":{},"functions":[],"agents":["y"]})"},
      // Unknown keys, even repeated or deeply nested, are dropped.
      {R"({"x":1,"x":{"y":[[{}]]},"app_name":"a","z":null})",
       R"({"app_name":"a","backends":{},"functions":[],"agents":[]})"},
      {R"({"app_name":"a","backends":{"db":{"backend_type":"s","other":[1],"config":"c"}}})",
       R"({"app_name":"a","backends":{"db":{"backend_type":"s","config":"c"}},)"
       R"("functions":[],"agents":[]})"},
      // A name given twice keeps its last entry.
      {R"({"app_name":"a","backends":{"db":{"backend_type":"sqlite","config":1},)"
       R"("db":{"backend_type":"redis"}}})",
       R"({"app_name":"a","backends":{"db":{"backend_type":"redis","config":null}},)"
       R"("functions":[],"agents":[]})"},
      // Array forms, shorter ones filling the defaults.
      {R"(["a"])", R"({"app_name":"a","backends":{},"functions":[],"agents":[]})"},
      {R"([ "a" , {"db":["sqlite"]} ])",
       R"({"app_name":"a","backends":{"db":{"backend_type":"sqlite","config":null}},)"
       R"("functions":[],"agents":[]})"},
      {R"(["a",{"db":["sqlite",{"b":2,"a":1}]},["f"],["g","g"]])",
       R"({"app_name":"a","backends":{"db":{"backend_type":"sqlite","config":{"a":1,"b":2}}},)"
       R"("functions":["f"],"agents":["g","g"]})"},
      // Strings are unescaped on input and written by the output rules.
      {R"({"app_name":"q\"b\\s\/\u00e9\ud83d\ude00\u0001\t"})",
       "{\"app_name\":\"q\\\"b\\\\s/\u00e9\U0001F600\\u0001\\t\",\"backends\":{},"
       "\"functions\":[],\"agents\":[]}"},
      {"\u00A0\u3000{\"app_name\":\"x\"}\n\u2003",
       R"({"app_name":"x","backends":{},"functions":[],"agents":[]})"},
      {R"({"app_name":""})", std::string(kEmptyPlanText)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(c.input), c.expected) << c.input;
  }
}

TEST(PlanTest, KeepsEveryBackend) {
  auto plan = Plan::from_json(
      R"({"app_name":"a","backends":{"db":{"backend_type":"sqlite","config":{"path":"x.db"}},)"
      R"("cache":{"backend_type":"redis"},"db":{"backend_type":"postgres","config":[1]},)"
      R"("blob":["s3",true]}})");
  ASSERT_TRUE(plan) << plan.error().text();
  ASSERT_EQ(plan->backends.size(), 3u);
  EXPECT_EQ(plan->backends.at("db").backend_type, "postgres");
  EXPECT_EQ(plan->backends.at("db").config.text(), "[1]");
  EXPECT_EQ(plan->backends.at("cache").backend_type, "redis");
  EXPECT_EQ(plan->backends.at("cache").config.kind(), json::Kind::Null);
  EXPECT_EQ(plan->backends.at("blob").backend_type, "s3");
  EXPECT_EQ(plan->backends.at("blob").config.text(), "true");
}

TEST(PlanTest, ReportsFaultsWithTheirPositions) {
  const std::vector<Case> cases = {
      // "{ }"
      //    ^ the closing brace
      {"{ }", "missing field `app_name` at line 1 column 3"},
      // Only the exact text "{}" stands for the default plan; the record fault
      // comes before the trailing byte.
      {"{}x", "missing field `app_name` at line 1 column 2"},
      {"{\n}", "missing field `app_name` at line 2 column 1"},
      {R"({"functions":["f"]})", "missing field `app_name` at line 1 column 19"},
      // {"app_name":"a","app_name":"b"}
      //                          ^ the repeated key's closing quote
      {R"({"app_name":"a","app_name":"b"})", "duplicate field `app_name` at line 1 column 26"},
      {R"({"app_name":"a","app\u005fname":"b"})", "duplicate field `app_name` at line 1 column 31"},
      {R"({"app_name":"a","agents":[],"agents":5})",
       "duplicate field `agents` at line 1 column 36"},
      {R"({"app_name":"a","backends":{"db":{"backend_type":"x","backend_type":"y"}}})",
       "duplicate field `backend_type` at line 1 column 67"},
      // {"app_name":5}
      //             ^ the value's last byte
      {R"({"app_name":5})", "invalid type: integer `5`, expected a string at line 1 column 13"},
      {R"({"app_name":-5})", "invalid type: integer `-5`, expected a string at line 1 column 14"},
      {R"({"app_name":1.5})",
       "invalid type: floating point `1.5`, expected a string at line 1 column 15"},
      {R"({"app_name":1e2})",
       "invalid type: floating point `100.0`, expected a string at line 1 column 15"},
      {R"({"app_name":-0})",
       "invalid type: floating point `-0.0`, expected a string at line 1 column 14"},
      {R"({"app_name":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e+19`, expected a string at line 1 "
       "column 32"},
      {R"({"app_name":true})",
       "invalid type: boolean `true`, expected a string at line 1 column 16"},
      {R"({"app_name":false})",
       "invalid type: boolean `false`, expected a string at line 1 column 17"},
      // {"app_name":[]}
      //            ^ arrays and objects are refused at their opening bracket, unread
      {R"({"app_name":[]})", "invalid type: sequence, expected a string at line 1 column 12"},
      {R"({"app_name":{"a":)", "invalid type: map, expected a string at line 1 column 12"},
      {R"({"app_name":"a","backends":[]})",
       "invalid type: sequence, expected a map at line 1 column 27"},
      {R"({"app_name":"a","backends":"db"})",
       "invalid type: string \"db\", expected a map at line 1 column 31"},
      {R"({"app_name":"a","agents":null})",
       "invalid type: null, expected a sequence at line 1 column 29"},
      {R"({"app_name":"a","functions":"f\n"})",
       "invalid type: string \"f\\n\", expected a sequence at line 1 column 33"},
      {R"({"app_name":"a","functions":["f",1]})",
       "invalid type: integer `1`, expected a string at line 1 column 34"},
      {R"({"app_name":"a","functions":[{}]})",
       "invalid type: map, expected a string at line 1 column 29"},
      {"5", "invalid type: integer `5`, expected struct Plan with 4 elements at line 1 column 1"},
      {R"("app")",
       "invalid type: string \"app\", expected struct Plan with 4 elements at line 1 column 5"},
      {"null", "invalid type: null, expected struct Plan with 4 elements at line 1 column 4"},
      {R"({"app_name":"a","backends":{"db":5}})",
       "invalid type: integer `5`, expected struct BackendSpec with 2 elements at line 1 column "
       "34"},
      {R"({"app_name":"a","backends":{"db":{"backend_type":null}}})",
       "invalid type: null, expected a string at line 1 column 53"},
      // {"app_name":"a","backends":{"db":{}}}
      //                                   ^ the backend's closing brace
      {R"({"app_name":"a","backends":{"db":{}}})",
       "missing field `backend_type` at line 1 column 35"},
      {R"({"app_name":"a","backends":{"db":{"config":1}}})",
       "missing field `backend_type` at line 1 column 45"},
      // "[]"
      //   ^ the closing bracket
      {"[]", "invalid length 0, expected struct Plan with 4 elements at line 1 column 2"},
      {"[\n ]", "invalid length 0, expected struct Plan with 4 elements at line 2 column 2"},
      {R"({"app_name":"a","backends":{"db":[]}})",
       "invalid length 0, expected struct BackendSpec with 2 elements at line 1 column 35"},
      // ["a",{},[],[],1]
      //               ^ the first surplus element
      {R"(["a",{},[],[],1])", "trailing characters at line 1 column 15"},
      {R"(["a",{},[],[],[1],2])", "trailing characters at line 1 column 15"},
      {R"(["a",{},[],[] x])", "trailing characters at line 1 column 15"},
      {R"(["a",{},[],[],])", "trailing comma at line 1 column 15"},
      {R"(["a",{},[],[],)", "trailing characters at line 1 column 14"},
      {R"(["a",{},[],[])", "EOF while parsing a list at line 1 column 13"},
      {R"({"app_name":"a","backends":{"db":["s",null,1]}})",
       "trailing characters at line 1 column 44"},
      {R"(["a" 1])", "expected `,` or `]` at line 1 column 6"},
      {R"(["a",{},[5]])", "invalid type: integer `5`, expected a string at line 1 column 10"},
      {R"([["a"]])", "invalid type: sequence, expected a string at line 1 column 1"},
      {R"(["a",[]])", "invalid type: sequence, expected a map at line 1 column 5"},
      // Positions count in the trimmed text.
      {"\n\n{\"app_name\":5}", "invalid type: integer `5`, expected a string at line 1 column 13"},
      {"\u3000\u00A0{\"app_name\":5}\u2029",
       "invalid type: integer `5`, expected a string at line 1 column 13"},
      {"{\n\"app_name\": 5\n}", "invalid type: integer `5`, expected a string at line 2 column 13"},
      // Characters that look blank but are not White_Space stay and fail.
      {"\u200B{}", "expected value at line 1 column 1"},
      {"\uFEFF{}", "expected value at line 1 column 1"},
      // Inside the text only JSON whitespace separates tokens.
      {"{\u00A0}", "key must be a string at line 1 column 2"},
      {R"({"app_name":"a"} x)", "trailing characters at line 1 column 18"},
      {R"({"app_name":"a"}{})", "trailing characters at line 1 column 17"},
      {R"({"app_name":nul})", "expected ident at line 1 column 16"},
      {R"({"app_name":})", "expected value at line 1 column 13"},
      {R"({"app_name":"a)", "EOF while parsing a string at line 1 column 14"},
  };
  for (const auto& c : cases) {
    auto plan = Plan::from_json(c.input);
    ASSERT_FALSE(plan) << c.input;
    EXPECT_EQ(plan.error().kind(), ErrorKind::Serialization) << c.input;
    EXPECT_EQ(plan.error().text(), serialization(c.expected)) << c.input;
  }
}

// Where the plan's own structure is malformed, the fault reads exactly as the
// general reader reports it for the same text.
TEST(PlanTest, SyntaxFaultsMatchTheGeneralReader) {
  const std::vector<std::string> inputs = {
      R"({"app_name" "a"})",
      R"({"app_name":"a")",
      R"({"app_name":"a",})",
      R"({"app_name":"a",)",
      R"({"app_name":"a" "x"})",
      R"({"app_name":)",
      R"({"app_name")",
      R"({1:2})",
      R"({"app_name":"a",5:1})",
      R"({"app_name":"a\x"})",
      R"({"app_name":"a\u12"})",
      R"({"app_name":"\uD800x"})",
      R"({"app_name":"\uDC00"})",
      "{\"app_name\":\"a\nb\"}",
      "{\"app_name\":\"\xC3\x28\"}",
      R"({"app_name":"a","x":[1,]})",
      R"({"app_name":"a","x":-01})",
      R"({"app_name":"a","x":1e400})",
      R"({"app_name":"a","x":tru})",
      R"({"app_name":"a","x":{"k" 1}})",
      R"({"app_name":"a","functions":["f",]})",
      R"({"app_name":"a","functions":["f")",
      R"({"app_name":"a","functions":["f" "g"]})",
      R"({"app_name":"a","functions":[,]})",
      R"({"app_name":"a","backends":{"db":{"backend_type":"s","config":}}})",
      R"({"app_name":"a","backends":{"db":{"backend_type":"s","config":[1 2]}}})",
      R"({"app_name":"a","backends":{"db":{"backend_type":"s"},}})",
      R"({"app_name":"a","backends":{"db" {}}})",
      R"({"app_name":"a","backends":{db:{}}})",
      R"({"app_name":"a","backends":{"db":{"backend_type":"s"})",
      R"(["a",{"db":["s",1,]}])",
      R"(["a",)",
      R"(["a",])",
      R"([,])",
      "[",
      "{",
      R"({"app_name":"a"} 1)",
  };
  for (const auto& input : inputs) {
    auto general = json::parse(input);
    ASSERT_FALSE(general) << input;
    auto plan = Plan::from_json(input);
    ASSERT_FALSE(plan) << input;
    EXPECT_EQ(plan.error().text(), serialization(general.error().text(input))) << input;
  }
}

TEST(PlanTest, NestingCountsThePlanAsALevel) {
  struct DepthCase {
    std::string prefix;
    int levels_open;  // by the prefix, the plan's own level included
    std::string suffix;
  };
  const std::vector<DepthCase> cases = {
      {R"({"app_name":"a","x":)", 1, "}"},
      {R"({"app_name":"a","backends":{"db":{"backend_type":"s","config":)", 3, "}}}"},
      {R"(["a",{"db":["s",)", 3, "]}]"},
  };
  for (const auto& c : cases) {
    const int room = json::kMaxDepth - c.levels_open;
    auto accepted = Plan::from_json(c.prefix + nested_arrays(room) + c.suffix);
    EXPECT_TRUE(accepted) << c.prefix << " " << accepted.error().text();

    const std::string too_deep = c.prefix + nested_arrays(room + 1) + c.suffix;
    auto refused = Plan::from_json(too_deep);
    ASSERT_FALSE(refused) << c.prefix;
    // The opening bracket of level 128 is the last byte read.
    const size_t column = c.prefix.size() + static_cast<size_t>(room) + 1;
    EXPECT_EQ(refused.error().text(),
              serialization("recursion limit exceeded at line 1 column " + std::to_string(column)));
    EXPECT_EQ(refused.error().text(), serialization(json::parse(too_deep).error().text(too_deep)));
  }
}

TEST(PlanTest, DeepConfigIsKeptWhole) {
  const int room = json::kMaxDepth - 3;
  const std::string config = nested_arrays(room);
  auto plan = Plan::from_json(R"({"app_name":"a","backends":{"db":{"backend_type":"s","config":)" +
                              config + "}}}");
  ASSERT_TRUE(plan) << plan.error().text();
  EXPECT_EQ(plan->backends.at("db").config.text(), config);
}

TEST(PlanTest, WrittenPlansReadBackUnchanged) {
  const std::vector<std::string> inputs = {
      R"({"app_name":"myapp"})",
      R"({"app_name":"a","backends":{"db":{"backend_type":"sqlite","config":{"path":"a.db"}},)"
      R"("cache":{"backend_type":"redis","config":{"ttl":1.50,"hosts":["h1","h2"]}},)"
      R"("q":{"backend_type":"sqs"},"e":["x",-0]},"functions":["f","f","g"],"agents":["A"]})",
      R"(["n\u0000\"",{"b":["t",{"z":{"y":1e-7,"x":1e16}}]},["\u2028"],[]])",
      "  {\"agents\":[\"\\u00e9\"],\"app_name\":\"\u00e9\",\"ignored\":[1,{\"a\":2}]}\n",
  };
  for (const auto& input : inputs) {
    auto first = Plan::from_json(input);
    ASSERT_TRUE(first) << first.error().text();
    const std::string text = written(*first);
    auto second = Plan::from_json(text);
    ASSERT_TRUE(second) << second.error().text();
    const std::string again = written(*second);
    EXPECT_EQ(normalised(again), normalised(text)) << input;
    EXPECT_EQ(again.size(), text.size()) << input;
    EXPECT_EQ(second->app_name, first->app_name);
    EXPECT_EQ(second->functions, first->functions);
    EXPECT_EQ(second->agents, first->agents);
    ASSERT_EQ(second->backends.size(), first->backends.size());
    for (const auto& [name, backend] : first->backends) {
      ASSERT_EQ(second->backends.count(name), 1u) << name;
      EXPECT_EQ(second->backends.at(name).backend_type, backend.backend_type);
      EXPECT_EQ(second->backends.at(name).config, backend.config);
    }
  }
}

TEST(PlanTest, WritesEveryBackendOnce) {
  auto plan =
      Plan::from_json(R"({"app_name":"a","backends":{"b1":["t1"],"b2":["t2",2],"b3":["t3",[3]]}})");
  ASSERT_TRUE(plan) << plan.error().text();
  EXPECT_EQ(normalised(written(*plan)),
            R"({"agents":[],"app_name":"a","backends":{"b1":{"backend_type":"t1","config":null},)"
            R"("b2":{"backend_type":"t2","config":2},"b3":{"backend_type":"t3","config":[3]}},)"
            R"("functions":[]})");
}

TEST(PlanTest, WritesFieldsInDeclarationOrderWithEscapes) {
  Plan plan;
  plan.app_name = "a\"\\\b\x1f\x7f/";
  plan.functions = {"f", ""};
  plan.agents = {"\n"};
  BackendSpec backend;
  backend.backend_type = "redis";
  backend.config = json::Value::empty_object();
  plan.backends.emplace("\t", std::move(backend));
  EXPECT_EQ(written(plan),
            "{\"app_name\":\"a\\\"\\\\\\b\\u001f\x7f/\",\"backends\":{\"\\t\":{\"backend_type\":"
            "\"redis\",\"config\":{}}},\"functions\":[\"f\",\"\"],\"agents\":[\"\\n\"]}");
}

TEST(PlanTest, WriteAppendsToExistingText) {
  std::string out = "prefix:";
  Plan{}.write_json(out);
  EXPECT_EQ(out, "prefix:" + std::string(kEmptyPlanText));
}

}  // namespace
}  // namespace vrell
