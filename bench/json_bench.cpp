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

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void write_size(Writer& writer, const char* unit_key, const char* unit, double value) {
  writer.StartObject();
  writer.Key(unit_key);
  writer.String(unit);
  writer.Key("value");
  writer.Double(value);
  writer.EndObject();
}

// The capacity member of a ClusterInformation reply.
void write_capacity(Writer& writer) {
  writer.Key("capacity");
  writer.StartObject();
  writer.Key("total");
  write_size(writer, "units", "TB", 512.75);
  writer.Key("allocated");
  write_size(writer, "units", "TB", 137.5);
  writer.EndObject();
}

// Disk `i` of the reply's list, with a text of every kind to escape.
void write_disk(Writer& writer, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "vd-%06d", i);
  writer.StartObject();
  writer.Key("name");
  writer.String(name);
  writer.Key("status");
  writer.String(i % 17 == 0 ? "degraded" : "ok");
  writer.Key("id");
  writer.Int64(100000000LL + i);
  writer.Key("size");
  write_size(writer, "unit", "GB", 58.64 + i % 100);
  writer.Key("protectionPolicy");
  writer.String("Erasure");
  writer.Key("erasureConfig");
  writer.String("RS_4_2");
  writer.Key("backupType");
  writer.String("FILER");
  writer.Key("diskType");
  writer.String("NFS");
  writer.Key("scsi3pr");
  writer.Bool(false);
  writer.Key("targets");
  writer.StartArray();
  for (int t = 0; t < 1 + i % 3; ++t) {
    char host[32];
    std::snprintf(host, sizeof host, "node-%02d.rack-%d", (i + t) % 48, t);
    writer.String(host);
  }
  writer.EndArray();
  writer.Key("createdAt");
  writer.Double(1700000000.25 + i);
  writer.Key("description");
  writer.String("thin-provisioned \"filer\" disk\tfor tenant\\ops");
  writer.EndObject();
}

// A ClusterInformation reply of about kReplyBytes, most of it a list of disks.
std::string cluster_reply() {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key("result");
  writer.StartObject();
  write_capacity(writer);
  writer.Key("virtualDisks");
  writer.StartArray();
  for (int i = 0; buffer.GetSize() < kReplyBytes - 600; ++i) write_disk(writer, i);
  writer.EndArray();
  writer.EndObject();
  writer.Key("sessionId");
  writer.String("6f1c0e9ab2d34f5e8a7b9c0d1e2f3a4b");
  writer.EndObject();
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
  for (auto* b :
       {benchmark::RegisterBenchmark("json_unserialize/ours", json_unserialize_ours),
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
