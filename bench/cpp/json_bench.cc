// JSON reader and writer micro-benchmarks on the corpus files, beside RapidJSON
// (for comparison only; the module never links it).
//
// A vrell::json::Value is its canonical text, so the work is split differently
// from a DOM library and the figures mean:
//   vrell/parse      json::parse: validate, sort object members, rewrite numbers
//                    canonically, producing the Value (= the output text).
//   vrell/write      producing the output text from a parsed Value: a copy of
//                    its text, which is what state_get does below the binding.
//   vrell/cycle      parse followed by write: text in, canonical text out.
//   rapidjson/parse  Document::Parse into its DOM (default flags: fast but not
//                    always correctly rounded floats).
//   rapidjson/parse_full  the same with kParseFullPrecisionFlag (exact floats,
//                    as our reader always is).
//   rapidjson/write  Writer (compact) over a parsed DOM into a StringBuffer;
//                    members in input order, no sorting.
//   rapidjson/cycle  parse (default flags) followed by write.
// Every figure counts the input file's size as the bytes processed, so MB/s of
// different rows compare directly.
//
// Usage: json_bench <corpus dir> [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"

namespace {

namespace fs = std::filesystem;

struct Corpus {
  std::string name;
  std::string text;
};

bool read_file(const fs::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buf;
  buf << in.rdbuf();
  out = std::move(buf).str();
  return true;
}

void set_bytes(benchmark::State& state, const Corpus& c) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(c.text.size()));
}

void vrell_parse(benchmark::State& state, const Corpus* c) {
  for (auto _ : state) {
    auto v = vrell::json::parse(c->text);
    if (!v) {
      state.SkipWithError(v.error().text(c->text).c_str());
      return;
    }
    benchmark::DoNotOptimize(v->text().data());
  }
  set_bytes(state, *c);
}

void vrell_write(benchmark::State& state, const Corpus* c) {
  auto v = vrell::json::parse(c->text);
  if (!v) {
    state.SkipWithError(v.error().text(c->text).c_str());
    return;
  }
  for (auto _ : state) {
    std::string out(v->text());
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, *c);
}

void vrell_cycle(benchmark::State& state, const Corpus* c) {
  for (auto _ : state) {
    auto v = vrell::json::parse(c->text);
    if (!v) {
      state.SkipWithError(v.error().text(c->text).c_str());
      return;
    }
    std::string out(v->text());
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, *c);
}

template <unsigned Flags>
void rapid_parse(benchmark::State& state, const Corpus* c) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse<Flags>(c->text.data(), c->text.size());
    if (d.HasParseError()) {
      state.SkipWithError("RapidJSON parse error");
      return;
    }
    benchmark::DoNotOptimize(&d);
  }
  set_bytes(state, *c);
}

void rapid_write(benchmark::State& state, const Corpus* c) {
  rapidjson::Document d;
  d.Parse(c->text.data(), c->text.size());
  if (d.HasParseError()) {
    state.SkipWithError("RapidJSON parse error");
    return;
  }
  for (auto _ : state) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    d.Accept(w);
    benchmark::DoNotOptimize(sb.GetString());
  }
  set_bytes(state, *c);
}

void rapid_cycle(benchmark::State& state, const Corpus* c) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(c->text.data(), c->text.size());
    if (d.HasParseError()) {
      state.SkipWithError("RapidJSON parse error");
      return;
    }
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    d.Accept(w);
    benchmark::DoNotOptimize(sb.GetString());
  }
  set_bytes(state, *c);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir> [benchmark flags]\n", argv[0]);
    return 2;
  }
  const fs::path dir(argv[1]);
  // Corpora outlive the benchmarks, which hold pointers to them.
  std::vector<std::unique_ptr<Corpus>> corpora;
  for (const char* name : {"canada", "citm_catalog", "twitter"}) {
    auto c = std::make_unique<Corpus>();
    c->name = name;
    if (!read_file(dir / (c->name + ".json"), c->text)) {
      std::fprintf(stderr, "skipping %s: not found in %s\n", name, dir.c_str());
      continue;
    }
    corpora.push_back(std::move(c));
  }
  if (corpora.empty()) {
    std::fprintf(stderr, "no corpus files in %s\n", dir.c_str());
    return 3;
  }
  for (const auto& c : corpora) {
    const Corpus* p = c.get();
    benchmark::RegisterBenchmark(("vrell/parse/" + p->name).c_str(), vrell_parse, p);
    benchmark::RegisterBenchmark(("rapidjson/parse/" + p->name).c_str(),
                                 rapid_parse<rapidjson::kParseDefaultFlags>, p);
    benchmark::RegisterBenchmark(("rapidjson/parse_full/" + p->name).c_str(),
                                 rapid_parse<rapidjson::kParseFullPrecisionFlag>, p);
    benchmark::RegisterBenchmark(("vrell/write/" + p->name).c_str(), vrell_write, p);
    benchmark::RegisterBenchmark(("rapidjson/write/" + p->name).c_str(), rapid_write, p);
    benchmark::RegisterBenchmark(("vrell/cycle/" + p->name).c_str(), vrell_cycle, p);
    benchmark::RegisterBenchmark(("rapidjson/cycle/" + p->name).c_str(), rapid_cycle, p);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
