// Disk names that a URL, the request syntax or the success test could
// break: each reaches the simulator intact, byte for byte, and the create
// and export succeed. Names a terminal or JSON could not take are shown
// escaped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;

class NameTest : public ClusterTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NameTest, CreateAndExportCarryTheNameIntact) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const std::string name = GetParam();
  const std::string host = host_name();

  const RunResult create = node->ctl({"create", name});
  EXPECT_EQ(create.exit_code, 0) << create.err;
  EXPECT_EQ(create.out, "Created virtual disk '" + name + "' (58.64 GB).\n");
  const RunResult exported = node->ctl({"--json", "export", name});
  EXPECT_EQ(exported.exit_code, 0) << exported.err;
  const rapidjson::Document reply = parse_json(exported.out);
  ASSERT_TRUE(reply.IsObject());
  EXPECT_EQ(member(reply, "name"), name);

  EXPECT_THAT(sim->disks(), ElementsAre(name));
  EXPECT_THAT(sim->mounts(), ElementsAre(name + " -> " + host));
  const std::vector<SimRequest> requests = sim->requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[2].text, add_virtual_disk_text(name, "58.64", session_of(requests[1].text)));
  EXPECT_EQ(requests[4].text, mount_text(name, host, session_of(requests[4].text)));
  EXPECT_EQ(node->count("tarnel_admin::create_vdisk(): Vdisk created " + name), 1);
  EXPECT_EQ(node->count("tarnel_admin::export_vdisk(): Vdisk exported " + name), 1);
}

INSTANTIATE_TEST_SUITE_P(Names, NameTest,
                         ::testing::Values("it's \"quoted\"", "{braces}:[list],more",
                                           "with  spaces ", "a&b=c&request=x", "hash#tag?q=1",
                                           "ünïcødé-диск-磁盘", "100% + plus", "back\\slash"));

class NameOutputTest : public ClusterTest {};

// A name that would send the operator's terminal a command is refused and
// shown escaped, and a name that is not UTF-8 still gives valid JSON (U+FFFD).
TEST_F(NameOutputTest, ControlCharactersAreEscapedAndJsonIsValidUtf8) {
  ASSERT_NO_FATAL_FAILURE(start_provisioned());
  const RunResult create = node->ctl({"create", "vd\x1b]0;owned\x07\r\n"});
  EXPECT_EQ(create.exit_code, 2) << create.err;
  EXPECT_THAT(create.err, ::testing::HasSubstr("NAME: 'vd\\x1b]0;owned\\x07\\r\\n' holds"));
  const RunResult del = node->ctl({"create", "vd\x7f"});
  EXPECT_EQ(del.exit_code, 2) << del.err;
  EXPECT_THAT(del.err, ::testing::HasSubstr("NAME: 'vd\\x7f' holds"));

  // The simulator refuses a name that is not UTF-8, so the failure echoes it.
  const RunResult refused = node->ctl({"--json", "create", "bad\xff\xc0\xaf"});
  EXPECT_EQ(refused.exit_code, 6);
  rapidjson::Document reply;
  reply.Parse<rapidjson::kParseValidateEncodingFlag>(refused.out.c_str());
  ASSERT_FALSE(reply.HasParseError()) << refused.out;
  const std::string replaced = "\xEF\xBF\xBD";  // U+FFFD
  EXPECT_THAT(reply["error"].GetString(),
              ::testing::HasSubstr("'bad" + replaced + replaced + replaced + "'"));
}

}  // namespace
}  // namespace e2e
