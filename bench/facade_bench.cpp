// A whole disk creation through the facade against tarnel-sim (a child
// process on a free loopback port), with the node's own credentials from a
// key store in a temporary directory:
//
//   create_vdisk/ours     tarnel_admin::create_vdisk on one facade: login,
//                         capacity query, AddVirtualDisk, each a fresh
//                         connection, every reply logged (debugLevel 0);
//                         the simulator's request log gives the requests
//                         per call
//   create_vdisk/libcurl  the same three requests with bare libcurl (fresh
//                         easy handle each), the session identifier taken
//                         from the login reply with RapidJSON
//
// Every call makes three connections, so each benchmark runs a fixed, small
// number of iterations.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <rapidjson/document.h>

#include <string>

#include "bench_support.h"
#include "tarnel_admin.h"

namespace {

// 60 short repetitions of 5 calls, interleaved at random: 900 requests per
// benchmark.
constexpr int kIterations = 5;
constexpr int kRepetitions = 60;

const char kCluster[] = "bench-cluster";
const char kPassword[] = "bench-Pw-7f3a";
const char kSerial[] = "BENCH-SN-0001";

bench::Simulator* g_sim = nullptr;
std::string g_base;  // "http://127.0.0.1:<port>/rest?request="
int g_disk = 0;

size_t append_reply(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One bare request: a fresh handle, GET or POST with an empty body.
bool bare_request(const std::string& text, bool post, std::string& reply) {
  CURL* handle = curl_easy_init();
  char* encoded = curl_easy_escape(handle, text.c_str(), static_cast<int>(text.size()));
  const std::string url = g_base + encoded;
  curl_free(encoded);
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (post) curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &append_reply);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply);
  const CURLcode result = curl_easy_perform(handle);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(handle);
  return result == CURLE_OK && status == 200;
}

void create_vdisk_ours(benchmark::State& state) {
  tarnel_admin admin;
  const long first = g_sim->last_request_seq();
  for (auto _ : state) {
    if (admin.create_vdisk("ours-" + std::to_string(++g_disk)) != 0) {
      state.SkipWithError("create_vdisk failed");
      break;
    }
  }
  state.counters["requests_per_call"] = static_cast<double>(g_sim->last_request_seq() - first) /
                                        static_cast<double>(state.iterations());
}

void create_vdisk_libcurl(benchmark::State& state) {
  const long first = g_sim->last_request_seq();
  for (auto _ : state) {
    std::string reply;
    const std::string login =
        std::string("{type:Login,category:UserManagement,params:{userName:\"") +
        "TarnelAdmin\",password:\"" + kPassword + "\",cluster:\"" + kCluster + "\"}}";
    if (!bare_request(login, false, reply)) {
      state.SkipWithError("login failed");
      break;
    }
    rapidjson::Document document;
    document.Parse(reply.c_str(), reply.size());
    if (!document.IsObject() || !document.HasMember("result") || !document["result"].IsObject() ||
        !document["result"].HasMember("sessionId") || !document["result"]["sessionId"].IsString()) {
      state.SkipWithError("login reply without a session");
      break;
    }
    const std::string session = document["result"]["sessionId"].GetString();
    reply.clear();
    if (!bare_request(
            "{type:ClusterInformation,category:ClusterWatch,sessionId:\"" + session + "\"}", true,
            reply)) {
      state.SkipWithError("capacity query failed");
      break;
    }
    reply.clear();
    const std::string add =
        "{type:AddVirtualDisk,category:VirtualDiskManagement,params:{name:\"base-" +
        std::to_string(++g_disk) +
        "\",protectionPolicy:\"Erasure\",erasureConfig:\"RS_4_2\",backupType:\"FILER\","
        "size:{unit:\"GB\",value:58.64},diskType:NFS,scsi3pr:false},sessionId:" +
        session + "}";
    if (!bare_request(add, true, reply)) {
      state.SkipWithError("AddVirtualDisk failed");
      break;
    }
  }
  state.counters["requests_per_call"] = static_cast<double>(g_sim->last_request_seq() - first) /
                                        static_cast<double>(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  bench::TempDir dir;
  bench::use_node_dir(dir, 0);
  bench::provision_node(kCluster, kSerial, kPassword);
  bench::Simulator sim(dir, kCluster, kPassword);
  g_sim = &sim;
  bench::route_cluster_to(sim.port());
  ::setenv("TARNEL_SLEEP_SCALE", "0.001", 1);  // no retry is expected; keep one short if it comes
  g_base = "http://127.0.0.1:" + std::to_string(sim.port()) + "/rest?request=";
  curl_global_init(CURL_GLOBAL_DEFAULT);
  bench::settle_keystore();

  for (auto* b : {benchmark::RegisterBenchmark("create_vdisk/ours", create_vdisk_ours),
                  benchmark::RegisterBenchmark("create_vdisk/libcurl", create_vdisk_libcurl)}) {
    b->Iterations(kIterations)
        ->Repetitions(kRepetitions)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  const bool bad_arguments = benchmark::ReportUnrecognizedArguments(argc, argv);
  if (!bad_arguments) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  curl_global_cleanup();
  return bad_arguments ? 1 : 0;
}
