// The bytes the library puts on the wire, through the real host client, for
// each of its requests: a login, the capacity query, a disk's creation (the
// capacity query again, then the disk request) and its export. A server on
// plain sockets keeps every request as it came and answers all of them with
// one reply that lets each operation go on; each request is compared with
// its golden text byte for byte. The node's name is the only part that
// depends on the machine: the library addresses every request to the local
// host name, port 8080, which TARNEL_CONNECT_TO routes to the server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_test_support.h"
#include "raw_http_server.h"
#include "rkmx_utils.h"
#include "tarnel_session.h"
#include "tarnel_vdisk.h"

namespace {

using host_test::RawServer;
using host_test::ScopedEnv;

const char kReply[] =
    "{\"result\":{\"sessionId\":\"S-1\",\"capacity\":{\"total\":{\"units\":\"TB\",\"value\":6}},"
    "\"disk\":{\"name\":\"vd 1\",\"status\":\"ok\"},\"mount\":{\"status\":\"ok\",\"target\":"
    "\"node-7\"}}}";

// What the server must have received, in order; "{node}" stands for the
// local host's name.
const char* const kLogin =
    "GET /rest?request=%7Btype%3ALogin%2Ccategory%3AUserManagement%2Cparams%3A%7B"
    "userName%3A%22admin%22%2Cpassword%3A%22p%20w%26%5C%22x%5C%5Cy%25%2B%3D%C3%A9~%22%2C"
    "cluster%3A%22cluster-1%22%7D%7D HTTP/1.1\r\n"
    "Host: {node}:8080\r\n"
    "Accept: */*\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n";
const char* const kClusterInformation =
    "POST /rest?request=%7Btype%3AClusterInformation%2Ccategory%3AClusterWatch%2C"
    "sessionId%3A%22S-1%22%7D HTTP/1.1\r\n"
    "Host: {node}:8080\r\n"
    "Accept: */*\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 0\r\n"
    "\r\n";
const char* const kAddVirtualDisk =
    "POST /rest?request=%7Btype%3AAddVirtualDisk%2Ccategory%3AVirtualDiskManagement%2C"
    "params%3A%7Bname%3A%22vd%201%22%2CprotectionPolicy%3A%22Erasure%22%2C"
    "erasureConfig%3A%22RS_4_2%22%2CbackupType%3A%22FILER%22%2C"
    "size%3A%7Bunit%3A%22GB%22%2Cvalue%3A3602.96%7D%2CdiskType%3ANFS%2Cscsi3pr%3Afalse%7D%2C"
    "sessionId%3AS-1%7D HTTP/1.1\r\n"
    "Host: {node}:8080\r\n"
    "Accept: */*\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 0\r\n"
    "\r\n";
const char* const kMount =
    "PUT /rest?request=%7Btype%3AMount%2Ccategory%3AVirtualDiskManagement%2C"
    "params%3A%7BvirtualDisk%3A%22vd%201%22%2Ctargets%3A%5B%22node-7%22%5D%7D%2C"
    "sessionId%3AS-1%7D HTTP/1.1\r\n"
    "Host: {node}:8080\r\n"
    "Accept: */*\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

std::string with_node(std::string text) {
  const std::string node = rkmx_utils::get_hostname();
  for (size_t at = text.find("{node}"); at != std::string::npos; at = text.find("{node}", at)) {
    text.replace(at, 6, node);
  }
  return text;
}

}  // namespace

TEST(WireGolden, EachRequestOfTheLibraryGoesOutByteForByteAsItsGoldenText) {
  host_test::TempDir dir;
  ScopedEnv keystore("TARNEL_KEYSTORE", dir.file("keystore.conf"));
  ScopedEnv logDir("TARNEL_LOG_DIR", dir.path());
  RawServer server([](const std::string&) { return host_test::http_reply(kReply); });
  ScopedEnv route("TARNEL_CONNECT_TO",
                  rkmx_utils::get_hostname() + ":8080:127.0.0.1:" + std::to_string(server.port()));

  tarnel_session session("admin", "cluster-1", "p w&\"x\\y%+=\xc3\xa9~");
  EXPECT_EQ(session.get_tarnel_session(), "S-1");
  tarnel_vdisk disk("S-1", "vd 1", "node-7");
  EXPECT_EQ(disk.get_cluster_space(), std::make_pair(6.0, std::string("TB")));
  EXPECT_EQ(disk.create_vdisk(), 0);
  EXPECT_EQ(disk.export_vdisk(), 0);

  const std::vector<std::string> golden = {kLogin, kClusterInformation, kClusterInformation,
                                           kAddVirtualDisk, kMount};
  const std::vector<std::string> received = server.requests();
  ASSERT_EQ(received.size(), golden.size());
  for (size_t i = 0; i < golden.size(); ++i) EXPECT_EQ(received[i], with_node(golden[i])) << i;
}
