// The host JSON codec on a 1 MiB cluster-like reply, beside RapidJSON's own
// DOM on the same bytes:
//
//   json_unserialize/ours      RkJson::Unserialize into a fresh object
//   json_unserialize/rapidjson rapidjson::Document::Parse (default flags)
//   json_serialize/ours        RkJson::Serialize of that object
//   json_serialize/rapidjson   rapidjson::Writer of that Document
//
// The reply is a ClusterInformation-style result with a list of virtual-disk
// records (strings, integers, reals, booleans, nested objects and lists), as
// a cluster answers a listing.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <string>

#include "RkJson.h"

namespace {

constexpr std::size_t kReplyBytes = 1024 * 1024;

std::string cluster_reply() {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("result");
  w.StartObject();
  w.Key("capacity");
  w.StartObject();
  w.Key("total");
  w.StartObject();
  w.Key("units");
  w.String("TB");
  w.Key("value");
  w.Double(512.75);
  w.EndObject();
  w.Key("allocated");
  w.StartObject();
  w.Key("units");
  w.String("TB");
  w.Key("value");
  w.Double(137.5);
  w.EndObject();
  w.EndObject();
  w.Key("virtualDisks");
  w.StartArray();
  for (int i = 0; buffer.GetSize() < kReplyBytes - 600; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "vd-%06d", i);
    w.StartObject();
    w.Key("name");
    w.String(name);
    w.Key("status");
    w.String(i % 17 == 0 ? "degraded" : "ok");
    w.Key("id");
    w.Int64(100000000LL + i);
    w.Key("size");
    w.StartObject();
    w.Key("unit");
    w.String("GB");
    w.Key("value");
    w.Double(58.64 + i % 100);
    w.EndObject();
    w.Key("protectionPolicy");
    w.String("Erasure");
    w.Key("erasureConfig");
    w.String("RS_4_2");
    w.Key("backupType");
    w.String("FILER");
    w.Key("diskType");
    w.String("NFS");
    w.Key("scsi3pr");
    w.Bool(false);
    w.Key("targets");
    w.StartArray();
    for (int t = 0; t < 1 + i % 3; ++t) {
      char host[32];
      std::snprintf(host, sizeof host, "node-%02d.rack-%d", (i + t) % 48, t);
      w.String(host);
    }
    w.EndArray();
    w.Key("createdAt");
    w.Double(1700000000.25 + i);
    w.Key("description");
    w.String("thin-provisioned \"filer\" disk\tfor tenant\\ops");
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  w.Key("sessionId");
  w.String("6f1c0e9ab2d34f5e8a7b9c0d1e2f3a4b");
  w.EndObject();
  return buffer.GetString();
}

const std::string& reply() {
  static const std::string text = cluster_reply();
  return text;
}

void json_unserialize_ours(benchmark::State& state) {
  const std::string& text = reply();
  for (auto _ : state) {
    json_spirit::mObject object;
    if (!RkJson::Unserialize(text, object)) state.SkipWithError("Unserialize failed");
    benchmark::DoNotOptimize(object);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void json_unserialize_rapidjson(benchmark::State& state) {
  const std::string& text = reply();
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError()) state.SkipWithError("Parse failed");
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void json_serialize_ours(benchmark::State& state) {
  json_spirit::mObject object;
  RkJson::Unserialize(reply(), object);
  std::string out;
  for (auto _ : state) {
    RkJson::Serialize(object, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void json_serialize_rapidjson(benchmark::State& state) {
  rapidjson::Document document;
  document.Parse(reply().c_str(), reply().size());
  rapidjson::StringBuffer buffer;
  for (auto _ : state) {
    buffer.Clear();
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.GetSize()));
}

}  // namespace

int main(int argc, char** argv) {
  std::fprintf(stderr, "cluster-like reply: %zu bytes\n", reply().size());
  // Short repetitions, interleaved at random (run_benchmarks.sh).
  for (auto* b : {benchmark::RegisterBenchmark("json_unserialize/ours", json_unserialize_ours),
                  benchmark::RegisterBenchmark("json_unserialize/rapidjson", json_unserialize_rapidjson),
                  benchmark::RegisterBenchmark("json_serialize/ours", json_serialize_ours),
                  benchmark::RegisterBenchmark("json_serialize/rapidjson", json_serialize_rapidjson)}) {
    b->Iterations(5)->Repetitions(40)->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
